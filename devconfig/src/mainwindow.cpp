#include "mainwindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFont>
#include <QGridLayout>
#include <QHeaderView>
#include <QIcon>
#include <QList>
#include <QStringList>
#include <QUrl>

#include <atomic>
#include <cstring>
#include <mutex>

#include "callbacks.h"
#include "factory_cipher.h"
#include "message.h"
#include "ui_mainwindow.h"

MainWindow* g_pMainWindow = nullptr;

namespace {

// Guards g_pMainWindow against a callback that posts while the window goes:
// the camera library may still deliver a queued search answer after it quit.
std::mutex g_windowLock;

// Qt's posted-event queue hands an event to the GUI thread under a lock of its
// own, which a thread checker cannot see when Qt is not built for it. This
// counter repeats the hand-off in the language's terms: the callback's thread
// releases after filling the event, the GUI thread acquires before reading one.
std::atomic<unsigned> g_nPosted{0};

const char kGroupStyle[] =
    "QGroupBox{border: 2px solid gray;border-radius:8px;margin-top:3px;}"
    "QGroupBox:title{color:blackmargin-top:0px;margin-left:30px;padding:3 1px;}";
static_assert(sizeof(kGroupStyle) - 1 == 141, "group box style sheet is 141 characters");

const int kColumnWidths[7] = {150, 170, 300, 150, 150, 150, 150};

// The factory-block decipher, prepared once for the life of the process.
kit::StAesKeySchedule g_factorySchedule;

void PrepareFactoryDecipher() {
  static std::once_flag once;
  std::call_once(once, [] { kit::AesSetKey(kit::FactoryKeyBytes(), &g_factorySchedule); });
}

// No usable address: nothing typed, "0.0.0.0", or a field left empty (the
// text then has an empty place and names no address of four octets).
bool IsMissingAddress(const QString& text) {
  if (text.isEmpty() || text == QLatin1String("0.0.0.0")) return true;
  return text.split(QLatin1Char('.')).contains(QString());
}

// Why a device cannot be re-addressed through its current address word, or
// empty where the word names one device. A request's current address tells
// the devices which of them is meant: the broadcast address is what a search
// sends for "every device", and a multicast address names a group.
QString WhyNotOneDevice(uint32_t word) {
  if (word == 0) return QStringLiteral("设备IP是0.0.0.0，不能设置网络参数！");
  if (word == 0xFFFFFFFF) return QStringLiteral("设备IP是广播地址，不能设置网络参数！");
  if ((word & 0xF0) == 0xE0) return QStringLiteral("设备IP是组播地址，不能设置网络参数！");  // 224.0.0.0/4
  return QString();
}

// The text before the last ".": the network part for the same-network test.
QString CutBeforeLastDot(const QString& text) { return text.left(text.lastIndexOf(QLatin1Char('.'))); }

// A dotted address into a 16-byte text field of StLprNetParams; always
// terminated within the field.
void SetLprText(char (&field)[16], const QString& text) {
  const QByteArray bytes = ToGbk(text);
  memset(field, 0, sizeof field);
  memcpy(field, bytes.constData(), qMin<size_t>(static_cast<size_t>(bytes.size()), sizeof field - 1));
}

}  // namespace

QString AutoSearchMark() { return QStringLiteral("自动搜索"); }
QString ManualAddMark() { return QStringLiteral("手动添加"); }

void PostDeviceFound(StSearchResult* result) {
  UserEvent* event = new UserEvent(kDeviceFoundEvent);
  event->m_pPayload = result;
  g_nPosted.fetch_add(1, std::memory_order_release);
  std::lock_guard<std::mutex> lock(g_windowLock);
  if (!g_pMainWindow) {
    delete result;
    delete event;
    return;
  }
  QCoreApplication::postEvent(g_pMainWindow, event, Qt::NormalEventPriority);
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow) {
  ui->setupUi(this);
  {
    std::lock_guard<std::mutex> lock(g_windowLock);
    g_pMainWindow = this;
  }
  setWindowTitle(QStringLiteral("Tessiq网络设备配置工具"));
  setFixedSize(820, 520);
  // Without the icon file the window simply has no icon.
  const QString icon = QCoreApplication::applicationDirPath() + QStringLiteral("/logo.ico");
  if (QFileInfo::exists(icon)) setWindowIcon(QIcon(icon));

  QFont font;
  font.setPointSize(9);

  m_pListGroup = new QGroupBox(QStringLiteral("设备列表"), this);
  m_pListGroup->setFont(font);
  m_pListGroup->setGeometry(0, 0, 820, 330);
  m_pListGroup->setStyleSheet(QLatin1String(kGroupStyle));

  m_pTable = new QTableView(m_pListGroup);
  m_pTable->setFont(font);
  m_pTable->setGeometry(5, 30, 810, 295);

  m_pBrowserCheck = new QCheckBox(QStringLiteral("默认浏览器"), this);
  m_pBrowserCheck->setFont(font);
  m_pBrowserCheck->setGeometry(5, 340, 130, 40);
  m_pBrowserCheck->setEnabled(false);
  m_pBrowserCheck->setChecked(true);

  m_pSearchButton = new QPushButton(QStringLiteral("搜索设备"), this);
  m_pSearchButton->setFont(font);
  m_pSearchButton->setGeometry(200, 340, 100, 40);

  m_pManualIpEdit = new MyIpAddrEdit(this);
  m_pManualIpEdit->setGeometry(5, 430, 187, 40);  // the editor keeps its fixed size

  m_pManualAddButton = new QPushButton(QStringLiteral("手动添加"), this);
  m_pManualAddButton->setFont(font);
  m_pManualAddButton->setGeometry(200, 430, 100, 40);

  m_pNetGroup = new QGroupBox(QStringLiteral("网络参数"), this);
  m_pNetGroup->setFont(font);
  m_pNetGroup->setGeometry(305, 340, 500, 140);
  m_pNetGroup->setStyleSheet(QLatin1String(kGroupStyle));

  m_pIpLabel = new QLabel(QStringLiteral("IP地址"), m_pNetGroup);
  m_pIpLabel->setFont(font);
  m_pMaskLabel = new QLabel(QStringLiteral("子网掩码"), m_pNetGroup);
  m_pMaskLabel->setFont(font);
  m_pGatewayLabel = new QLabel(QStringLiteral("网关"), m_pNetGroup);
  m_pGatewayLabel->setFont(font);

  m_pIpEdit = new MyIpAddrEdit(m_pNetGroup);
  m_pIpEdit->setFont(font);
  m_pIpEdit->setIpType(MyIpAddrEdit::kIpAddress);
  m_pMaskEdit = new MyIpAddrEdit(m_pNetGroup);
  m_pMaskEdit->setFont(font);
  m_pMaskEdit->setIpType(MyIpAddrEdit::kSubnetMask);
  m_pGatewayEdit = new MyIpAddrEdit(m_pNetGroup);
  m_pGatewayEdit->setFont(font);
  m_pGatewayEdit->setIpType(MyIpAddrEdit::kGateway);

  m_pTcpCheck = new QCheckBox(QStringLiteral("TCP方式"), m_pNetGroup);
  m_pTcpCheck->setFont(font);
  m_pTcpCheck->setEnabled(false);

  m_pModifyButton = new QPushButton(QStringLiteral("修改网络参数"), m_pNetGroup);
  m_pModifyButton->setFont(font);

  QGridLayout* grid = new QGridLayout;
  grid->setColumnStretch(0, 1);
  grid->setColumnStretch(1, 2);
  grid->setColumnStretch(2, 1);
  grid->setRowStretch(0, 60);
  grid->setRowStretch(1, 40);
  grid->setRowStretch(2, 40);
  m_pNetGroup->setLayout(grid);
  grid->addWidget(m_pIpLabel, 0, 0, 1, -1);
  grid->addWidget(m_pIpEdit, 0, 1, 1, -1);
  grid->addWidget(m_pTcpCheck, 0, 2, 1, -1);
  grid->addWidget(m_pMaskLabel, 1, 0, 1, -1);
  grid->addWidget(m_pMaskEdit, 1, 1, 1, -1);
  grid->addWidget(m_pModifyButton, 1, 2, 1, -1);
  grid->addWidget(m_pGatewayLabel, 2, 0, 1, -1);
  grid->addWidget(m_pGatewayEdit, 2, 1, 1, -1);
  grid->addWidget(new QLabel(m_pNetGroup), 2, 2, 1, -1);

  m_pModel = new DeviceTableModel();
  m_pModel->setHorizontalHeaderLabels({QStringLiteral("设备IP"), QStringLiteral("设备MAC"),
                                       QStringLiteral("设备版本"), QStringLiteral("设备编号"),
                                       QStringLiteral("网关"), QStringLiteral("子网掩码"),
                                       QStringLiteral("设备IP获取方式")});
  // Before the view is given the model, so that these run before the view
  // moves its current row off the rows that go.
  connect(m_pModel, &QAbstractItemModel::rowsAboutToBeRemoved, this, [this] { m_removingRows = true; });
  connect(m_pModel, &QAbstractItemModel::rowsRemoved, this, [this] { m_removingRows = false; });
  m_pTable->setModel(m_pModel);
  m_pTable->verticalHeader()->hide();
  m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_pTable->setSelectionMode(QAbstractItemView::SingleSelection);
  // The view hides the sort indicator of a header it is given (sorting is
  // not enabled on it), so the header is set up once it is in place.
  QHeaderView* header = new QHeaderView(Qt::Horizontal, m_pTable);
  m_pTable->setHorizontalHeader(header);
  header->setSortIndicator(0, Qt::AscendingOrder);
  header->setSortIndicatorShown(true);
  header->setSectionsClickable(true);
  for (int c = 0; c < 7; ++c) m_pTable->setColumnWidth(c, kColumnWidths[c]);

  // A click on a header section sorts by that column in the order its sort
  // indicator shows (the header has flipped it before it signals).
  QTableView* table = m_pTable;
  connect(header, &QHeaderView::sectionClicked, table, [table](int column) {
    table->model()->sort(column, table->horizontalHeader()->sortIndicatorOrder());
  });
  connect(m_pTable, &QTableView::clicked, this, &MainWindow::ShowSelectedData);
  connect(m_pTable->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          &MainWindow::FollowCurrentRow);
  connect(m_pTable, &QTableView::doubleClicked, this, &MainWindow::OpenLinkWeb);
  connect(m_pSearchButton, &QPushButton::clicked, this, &MainWindow::SearchDevice);
  connect(m_pManualAddButton, &QPushButton::clicked, this, &MainWindow::ManualAddDevice);
  connect(m_pModifyButton, &QPushButton::clicked, this, &MainWindow::ModifyNetParam);
  connect(m_pModel, &QAbstractItemModel::rowsRemoved, this, &MainWindow::DropFormIfRowGone);
  connect(m_pModel, &QAbstractItemModel::modelReset, this, &MainWindow::DropFormIfRowGone);

  // A library that does not start simply finds nothing.
  PyrnBox_Init(nullptr, nullptr, nullptr, nullptr);
  Qelm_InitControl(CameraSearchCallback);
  LPR_Init(0, nullptr, LprScanCallback, nullptr, nullptr, nullptr);

  PrepareFactoryDecipher();
}

MainWindow::~MainWindow() {
  {
    std::lock_guard<std::mutex> lock(g_windowLock);
    if (g_pMainWindow == this) g_pMainWindow = nullptr;
  }
  // Found devices still queued for the window own their records.
  QCoreApplication::sendPostedEvents(this, UserEvent::kType);
  delete ui;
  delete m_pModel;
}

bool MainWindow::event(QEvent* e) {
  (void)g_nPosted.load(std::memory_order_acquire);
  if (e->type() == UserEvent::kType) {
    UserEvent* user = dynamic_cast<UserEvent*>(e);
    if (user && user->m_nId == kDeviceFoundEvent && user->m_pPayload) {
      StSearchResult* result = static_cast<StSearchResult*>(user->m_pPayload);
      user->m_pPayload = nullptr;
      AddDeviceRow(result, true);
      delete result;
    }
  }
  return QWidget::event(e);
}

void MainWindow::closeEvent(QCloseEvent* e) {
  PyrnBox_Quit();
  Qelm_Quit();
  LPR_Quit();
  e->accept();
}

bool MainWindow::HasRowWithIp(const QString& ip) const { return m_pModel->hasIp(ip); }

void MainWindow::AddDeviceRow(const StSearchResult* result, bool autoFound) {
  if (!result) return;
  const DeviceRowTexts t = RowTextsOf(*result);
  bool formRowReplaced = false;
  const int row = m_pModel->firstRowWithIp(t.ip);
  if (row >= 0) {
    formRowReplaced = m_formRow.isValid() && m_formRow.row() == row;
    m_replacingFormRow = formRowReplaced;
    m_pModel->removeRow(row);
    m_replacingFormRow = false;
  }
  m_pModel->prependRow(
      {t.ip, t.mac, t.version, t.serial, t.gateway, t.mask, autoFound ? AutoSearchMark() : ManualAddMark()});
  if (formRowReplaced) {
    // The same device with fresh data: the form goes on acting on it (the
    // user's edits stay), by the path of its new row.
    m_formRow = QPersistentModelIndex(m_pModel->index(0, 0));
    m_pTable->setCurrentIndex(m_formRow);
    ShowFormRowPath();
  }
}

void MainWindow::UpdateDeviceRow(const StNetParams& params, const QString& oldIp) {
  for (const int row : m_pModel->rowsWithIp(oldIp)) {
    m_pModel->setData(m_pModel->index(row, 0), IpWordText(params.ip));
    m_pModel->setData(m_pModel->index(row, 4), IpWordText(params.gateway));
    m_pModel->setData(m_pModel->index(row, 5), IpWordText(params.mask));
  }
}

void MainWindow::ClearAutoSearchRows() {
  // One pass from the bottom, each run of found rows removed at once: the
  // rows that stay keep their order, and a table of many found rows costs
  // one look at each.
  const QString mark = AutoSearchMark();
  for (int end = m_pModel->rowCount(); end > 0;) {
    if (m_pModel->index(end - 1, 6).data().toString() != mark) {
      --end;
      continue;
    }
    int first = end - 1;
    while (first > 0 && m_pModel->index(first - 1, 6).data().toString() == mark) --first;
    m_pModel->removeRows(first, end - first);
    end = first;
  }
}

void MainWindow::ShowFormRowPath() {
  m_pTcpCheck->setChecked(m_pModel->index(m_formRow.row(), 6).data().toString() != AutoSearchMark());
}

void MainWindow::DropFormIfRowGone() {
  if (!m_formHasRow || m_formRow.isValid() || m_replacingFormRow) return;
  m_formHasRow = false;
  m_formRow = QPersistentModelIndex();
  m_pTable->selectionModel()->clear();
  m_pIpEdit->setText(QString());
  m_pMaskEdit->setText(QString());
  m_pGatewayEdit->setText(QString());
  m_pTcpCheck->setChecked(false);
}

void MainWindow::FollowCurrentRow(const QModelIndex& current) {
  if (m_removingRows || !current.isValid()) return;
  // The form's own row made current again keeps what was typed into it.
  if (m_formRow.isValid() && m_formRow.row() == current.row()) return;
  ShowSelectedData(current);
}

void MainWindow::ShowSelectedData(const QModelIndex& index) {
  const int row = index.row();
  if (row < 0 || row >= m_pModel->rowCount()) return;
  m_formRow = QPersistentModelIndex(m_pModel->index(row, 0));
  m_formHasRow = true;
  const QString ip = m_pModel->index(row, 0).data().toString();
  const QString gateway = m_pModel->index(row, 4).data().toString();
  const QString mask = m_pModel->index(row, 5).data().toString();
  m_pManualIpEdit->setText(ip);
  m_pIpEdit->setText(ip);
  m_pGatewayEdit->setText(gateway);
  m_pMaskEdit->setText(mask);
  if (gateway.isEmpty() || gateway == QLatin1String("0.0.0.0"))
    m_pGatewayEdit->setText(CutBeforeLastDot(ip) + QStringLiteral(".1"));
  if (mask.isEmpty() || mask == QLatin1String("0.0.0.0"))
    m_pMaskEdit->setText(QStringLiteral("255.255.255.0"));
  ShowFormRowPath();
}

void MainWindow::OpenLinkWeb(const QModelIndex& index) {
  const int row = index.row();
  if (row < 0) return;
  const QString ip = m_pModel->index(row, 0).data().toString();
  QDesktopServices::openUrl(QUrl(QStringLiteral("http://") + ip + QStringLiteral("/")));
}

void MainWindow::SearchDevice() {
  ClearAutoSearchRows();
  PyrnBox_SearchPyrnCore(BoxSearchCallback);
  Qelm_SearchCamera();
  LPR_ScanDevice();
}

void MainWindow::ManualAddDevice() {
  const QString ip = m_pManualIpEdit->text();
  if (IsMissingAddress(ip)) {
    ShowMessage(QStringLiteral("IP地址输入错误，请重新输入！"));
    return;
  }
  if (HasRowWithIp(ip)) {
    ShowMessage(QStringLiteral("此设备IP已经添加到列表，请重新输入！"));
    return;
  }
  AddDeviceByIp(ip);
}

void MainWindow::AddDeviceByIp(const QString& ip) {
  StSearchResult result;
  InitSearchResult(&result);
  result.ip = IpTextToUint(ip);
  const QByteArray ipText = ToGbk(ip);

  CBoxDevice* box = nullptr;
  StLprCameraHandle* lpr = nullptr;
  if (PyrnBox_ConnectDevice(ipText.constData(), &box) == 0) {
    PyrnBox_ControlSerialNo(box, result.factory.serial, 0);
    PyrnBox_ControlMAC(box, result.factory.mac, 0);
    PyrnBox_GetDeviceVersion(box, result.version);
    // IP, mask and gateway words as the box reports them (and a fourth word).
    uint32_t words[4] = {result.ip, result.mask, result.gateway, result.reserved0};
    PyrnBox_GetDeviceNetInfo(box, words);
    result.ip = words[0];
    result.mask = words[1];
    result.gateway = words[2];
    result.reserved0 = words[3];
    PyrnBox_DisconnectDevice(box);
  } else if (LPR_ConnectCamera(ipText.constData(), &lpr) == 0) {
    StLprVersionInfo versions;
    memset(&versions, 0, sizeof versions);
    LPR_GetAllVersion(lpr, &versions);
    CopyVersionText(result.version, versions.version[0], sizeof versions.version[0]);

    StLprControlParams block;
    memset(&block, 0, sizeof block);
    block.code = 0x1C;
    // The reply holds the factory block as 32 hex digits; a shorter one holds
    // no block, and its MAC stays zero rather than being made up.
    if (LPR_ControlParams(lpr, &block, 500) == 0 && block.length >= kit::kFactoryHexDigits)
      kit::FactoryMacFromHex(reinterpret_cast<const char*>(block.data), result.factory.mac,
                             g_factorySchedule);
    LPR_DisconnectCamera(lpr);
  } else {
    StCameraInfo info;
    InitCameraInfo(&info);
    if (Qelm_GetCameraInfo(result.ip, &info, 500) != 0) return;  // nothing answers there
    CopyVersionText(result.version, info.version, sizeof info.version);
    // At most 31 characters, so that the MAC behind the text stays whole.
    memcpy(result.factory.serial, info.factory.serial,
           strnlen(info.factory.serial, sizeof result.factory.serial - 1));
    memcpy(result.factory.mac, info.factory.mac, sizeof result.factory.mac);
    result.mask = info.mask;
    result.gateway = info.gateway;

    StCameraHandle* camera = nullptr;
    if (Qelm_OpenCamera(result.ip, &camera, nullptr, nullptr) == 0) {
      // The device's text is not terminated and may fill all 512 bytes.
      char text[512 + 1];
      memset(text, 0, sizeof text);
      if (Qelm_GetDeviceVersionInfo(camera, text, 500) == 0) {
        const char* lineFeed = static_cast<const char*>(memchr(text, '\n', 512));
        if (lineFeed) {
          // The first line alone, cut to the version field.
          const size_t n = qMin<size_t>(static_cast<size_t>(lineFeed - text), kVersionFieldSize - 1);
          memcpy(result.version, text, n);
          result.version[n] = 0;
        }
      }
      Qelm_GetDeviceFactoryInfo(camera, &result.factory);
      Qelm_CloseCamera(camera);
    }
  }
  AddDeviceRow(&result, false);
}

void MainWindow::ModifyNetParam() {
  if (!m_formRow.isValid()) {
    ShowMessage(QStringLiteral("未选中要修改网络参数的设备！"));
    return;
  }
  const QString notOne = WhyNotOneDevice(IpTextToUint(m_pModel->index(m_formRow.row(), 0).data().toString()));
  if (!notOne.isEmpty()) {
    ShowMessage(notOne);
    return;
  }
  const QString ip = m_pIpEdit->text();
  const QString gateway = m_pGatewayEdit->text();
  const QString mask = m_pMaskEdit->text();
  for (const QString* text : {&ip, &gateway, &mask}) {
    if (IsMissingAddress(*text)) {
      ShowMessage(QStringLiteral("IP有输错，请重新输入！"));
      return;
    }
  }
  if (CutBeforeLastDot(ip) != CutBeforeLastDot(gateway)) {
    ShowMessage(QStringLiteral("IP有和网关不在同一网络，请重新输入！"));
    return;
  }

  const int row = m_formRow.row();
  const QString oldIp = m_pModel->index(row, 0).data().toString();
  const QString kind = m_pModel->index(row, 2).data().toString();
  StNetParams params;
  params.ip = IpTextToUint(ip);
  params.mask = IpTextToUint(mask);
  params.gateway = IpTextToUint(gateway);
  params.fourth = 0;
  const uint32_t oldWord = IpTextToUint(oldIp);
  const bool tcp = m_pTcpCheck->isChecked();
  const QString connectFailed = QStringLiteral("TCP方式连接设备失败，不能设置网络参数！");

  int result = 0;
  switch (DeviceKindOf(kind)) {
    case DeviceKind::kBox:
      if (tcp) {
        CBoxDevice* box = nullptr;
        if (PyrnBox_ConnectDevice(ToGbk(oldIp).constData(), &box) != 0) {
          ShowMessage(connectFailed);
          return;
        }
        result = PyrnBox_SetNetParams(box, oldWord, &params, 0);
        PyrnBox_DisconnectDevice(box);
      } else {
        result = PyrnBox_SetNetParams(nullptr, oldWord, &params, 1);
      }
      break;
    case DeviceKind::kLpr: {
      StLprCameraHandle* lpr = nullptr;
      if (tcp && LPR_ConnectCamera(ToGbk(oldIp).constData(), &lpr) != 0) {
        ShowMessage(connectFailed);
        return;
      }
      StLprNetParams now, next;
      memset(&now, 0, sizeof now);
      memset(&next, 0, sizeof next);
      SetLprText(next.ip, ip);
      SetLprText(next.mask, mask);
      SetLprText(next.gateway, gateway);
      SetLprText(now.ip, oldIp);
      SetLprText(now.mask, m_pModel->index(row, 5).data().toString());
      SetLprText(now.gateway, m_pModel->index(row, 4).data().toString());
      const QByteArray macDigits =
          ToGbk(m_pModel->index(row, 1).data().toString().remove(QLatin1Char('-')));
      HexToMac(macDigits.constData(), static_cast<size_t>(macDigits.size()), now.mac);
      memcpy(next.mac, now.mac, sizeof next.mac);
      result = LPR_SetNetParams(lpr, &now, &next);
      LPR_DisconnectCamera(lpr);
      break;
    }
    case DeviceKind::kCamera:
      result = Qelm_SetCameraNetParams(oldWord, &params, tcp ? 0 : 1);
      break;
  }

  if (result == ERR_IP_CONFLICT) {
    ShowMessage(QStringLiteral("IP地址与PC机IP冲突，请修改！"));
  } else if (result != 0) {
    ShowMessage(QStringLiteral("TCP方式设置网络参数失败！"));
  } else {
    ShowMessage(QStringLiteral("设置网络参数成功"));
    UpdateDeviceRow(params, oldIp);
  }
}
