// The window without a network: its widgets, the device table's rows, the
// form, the posted found-device events, and the checks that refuse input
// before any library is asked.
#include <gtest/gtest.h>

#include <QFile>
#include <QDesktopServices>
#include <QHeaderView>
#include <QUrl>
#include <QImage>
#include <QTest>

#include <atomic>
#include <thread>

#include "callbacks.h"
#include "process.h"
#include "window_probe.h"

namespace {

using kittest::Gbk;

class Window : public testing::Test {
 protected:
  void TearDown() override { window_->close(); }

  std::unique_ptr<MainWindow> window_ = std::make_unique<MainWindow>();
  MainWindowProbe p_{*window_};
  MessageRecorder messages_;
};

const QString kAuto = QStringLiteral("自动搜索");
const QString kManual = QStringLiteral("手动添加");

TEST_F(Window, WidgetsTextsAndPlaces) {
  EXPECT_EQ(window_->windowTitle(), QStringLiteral("Tessiq网络设备配置工具"));
  EXPECT_EQ(window_->size(), QSize(820, 520));
  EXPECT_EQ(window_->minimumSize(), window_->maximumSize());
  EXPECT_EQ(p_.listGroup().title(), QStringLiteral("设备列表"));
  EXPECT_EQ(p_.listGroup().geometry(), QRect(0, 0, 820, 330));
  EXPECT_EQ(p_.table().geometry(), QRect(5, 30, 810, 295));
  EXPECT_EQ(p_.netGroup().title(), QStringLiteral("网络参数"));
  EXPECT_EQ(p_.netGroup().geometry(), QRect(305, 340, 500, 140));
  EXPECT_EQ(p_.listGroup().styleSheet().size(), 141);
  EXPECT_EQ(p_.netGroup().styleSheet(), p_.listGroup().styleSheet());
  EXPECT_EQ(p_.searchButton().text(), QStringLiteral("搜索设备"));
  EXPECT_EQ(p_.searchButton().geometry(), QRect(200, 340, 100, 40));
  EXPECT_EQ(p_.manualAddButton().text(), QStringLiteral("手动添加"));
  EXPECT_EQ(p_.manualAddButton().geometry(), QRect(200, 430, 100, 40));
  EXPECT_EQ(p_.modifyButton().text(), QStringLiteral("修改网络参数"));
  EXPECT_EQ(p_.manualIp().geometry(), QRect(5, 430, 290, 30));
  EXPECT_EQ(p_.browser().text(), QStringLiteral("默认浏览器"));
  EXPECT_TRUE(p_.browser().isChecked());
  EXPECT_FALSE(p_.browser().isEnabled());
  EXPECT_EQ(p_.tcp().text(), QStringLiteral("TCP方式"));
  EXPECT_FALSE(p_.tcp().isChecked());
  EXPECT_FALSE(p_.tcp().isEnabled());
  EXPECT_EQ(p_.ip().ipType(), 0);
  EXPECT_EQ(p_.mask().ipType(), 1);
  EXPECT_EQ(p_.gateway().ipType(), 2);
  EXPECT_EQ(p_.searchButton().font().pointSize(), 9);

  QStringList headers;
  for (int c = 0; c < p_.model().columnCount(); ++c)
    headers << p_.model().headerData(c, Qt::Horizontal).toString();
  EXPECT_EQ(headers, (QStringList{"设备IP", "设备MAC", "设备版本", "设备编号", "网关", "子网掩码",
                                  "设备IP获取方式"}));
  const int widths[] = {150, 170, 300, 150, 150, 150, 150};
  for (int c = 0; c < 7; ++c) EXPECT_EQ(p_.table().columnWidth(c), widths[c]) << c;
  EXPECT_FALSE(p_.table().verticalHeader()->isVisible());
  EXPECT_EQ(p_.table().editTriggers(), QAbstractItemView::NoEditTriggers);
  EXPECT_EQ(p_.table().selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(p_.table().selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_TRUE(p_.table().horizontalHeader()->isSortIndicatorShown());
  EXPECT_EQ(p_.table().horizontalHeader()->sortIndicatorSection(), 0);
}

TEST(WindowIcon, LogoBesideTheProgramIfThere) {
  const QString path = QCoreApplication::applicationDirPath() + "/logo.ico";
  QFile::remove(path);
  {
    MainWindow w;
    EXPECT_TRUE(w.windowIcon().isNull()) << "a missing icon is no error";
    w.close();
  }
  QImage image(32, 32, QImage::Format_ARGB32);
  image.fill(Qt::red);
  ASSERT_TRUE(image.save(path, "ICO"));
  {
    MainWindow w;
    EXPECT_FALSE(w.windowIcon().isNull());
    EXPECT_TRUE(w.windowIcon().availableSizes().contains(QSize(32, 32)));
    w.close();
  }
  QFile::remove(path);
}

TEST_F(Window, AFoundDeviceReplacesTheRowWithItsIpAtTheTop) {
  const StSearchResult manual = Record("198.51.100.5", "IPNC-old", "SN1");
  const StSearchResult other = Record("198.51.100.6", "VELD-box");
  const StSearchResult again = Record("198.51.100.5", "IPNC-new", "SN2");
  window_->AddDeviceRow(&manual, false);
  window_->AddDeviceRow(&other, true);
  window_->AddDeviceRow(&again, true);
  ASSERT_EQ(p_.rows(), 2);
  EXPECT_EQ(p_.row(0), (QStringList{"198.51.100.5", "00-00-00-00-00-00", "IPNC-new", "SN2", "0.0.0.0",
                                    "0.0.0.0", kAuto}));
  EXPECT_EQ(p_.cell(1, 0), QStringLiteral("198.51.100.6"));
  window_->AddDeviceRow(nullptr, true);
  EXPECT_EQ(p_.rows(), 2);
}

TEST_F(Window, ASearchRemovesFoundRowsAndKeepsRowsAddedByHand) {
  const char* ips[] = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5", "10.0.0.6"};
  const bool found[] = {true, false, true, true, false, true};
  for (int i = 0; i < 6; ++i) {
    const StSearchResult r = Record(ips[i], "IPNC");
    window_->AddDeviceRow(&r, found[i]);
  }
  window_->ClearAutoSearchRows();
  ASSERT_EQ(p_.rows(), 2);
  EXPECT_EQ(p_.cell(0, 0), QStringLiteral("10.0.0.5"));
  EXPECT_EQ(p_.cell(1, 0), QStringLiteral("10.0.0.2"));
  EXPECT_EQ(p_.cell(0, 6), kManual);
  EXPECT_EQ(p_.cell(1, 6), kManual);
}

TEST_F(Window, UpdatedRowTakesNewAddressGatewayAndMask) {
  const StSearchResult a = Record("10.0.0.1", "IPNC-a", "SN", "10.0.0.254", "255.0.0.0");
  const StSearchResult b = Record("10.0.0.2", "IPNC-b");
  window_->AddDeviceRow(&a, true);
  window_->AddDeviceRow(&b, true);
  const StNetParams params{IpTextToUint("10.0.1.9"), IpTextToUint("255.255.255.0"),
                           IpTextToUint("10.0.1.1"), 0};
  window_->UpdateDeviceRow(params, QStringLiteral("10.0.0.1"));
  EXPECT_EQ(p_.row(1), (QStringList{"10.0.1.9", "00-00-00-00-00-00", "IPNC-a", "SN", "10.0.1.1",
                                    "255.255.255.0", kAuto}));
  EXPECT_EQ(p_.cell(0, 0), QStringLiteral("10.0.0.2"));
}

TEST_F(Window, SelectingARowFillsTheForm) {
  struct Case {
    const char* name;
    StSearchResult record;
    bool found;
    const char* ip;
    const char* gateway;
    const char* mask;
    bool tcp;
  } cases[] = {
      {"found, all given", Record("192.168.1.50", "IPNC", "", "192.168.1.254", "255.255.0.0"), true,
       "192.168.1.50", "192.168.1.254", "255.255.0.0", false},
      {"no gateway, no mask", Record("192.168.1.51", "IPNC"), true, "192.168.1.51", "192.168.1.1",
       "255.255.255.0", false},
      {"added by hand", Record("10.1.2.3", "VELD", "", "10.1.2.254", "255.255.255.0"), false,
       "10.1.2.3", "10.1.2.254", "255.255.255.0", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    window_->AddDeviceRow(&c.record, c.found);
    p_.select(0);
    EXPECT_EQ(p_.manualIp().text(), QString::fromLatin1(c.ip));
    EXPECT_EQ(p_.ip().text(), QString::fromLatin1(c.ip));
    EXPECT_EQ(p_.gateway().text(), QString::fromLatin1(c.gateway));
    EXPECT_EQ(p_.mask().text(), QString::fromLatin1(c.mask));
    EXPECT_EQ(p_.tcp().isChecked(), c.tcp);
  }
  // A click on a row does the same.
  window_->show();
  const StSearchResult r = Record("172.16.5.9", "IPNC");
  window_->AddDeviceRow(&r, false);
  p_.table().resizeRowsToContents();
  const QRect cell = p_.table().visualRect(p_.model().index(0, 1));
  QTest::mouseClick(p_.table().viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  EXPECT_EQ(p_.ip().text(), QStringLiteral("172.16.5.9"));
  EXPECT_EQ(p_.gateway().text(), QStringLiteral("172.16.5.1"));
  EXPECT_TRUE(p_.tcp().isChecked());
}

TEST_F(Window, TheFormFollowsTheCurrentRowOnTheArrowKeys) {
  const StSearchResult plain = Record("10.0.0.1", "IPNC");
  const StSearchResult given = Record("10.0.0.2", "IPNC", "", "10.0.0.254", "255.255.0.0");
  const StSearchResult byHand = Record("10.0.0.3", "VELD");
  window_->AddDeviceRow(&plain, true);
  window_->AddDeviceRow(&given, true);
  window_->AddDeviceRow(&byHand, false);  // the top row
  window_->show();
  p_.select(0);
  p_.ip().setText("10.0.0.77");  // typed, then left for another row
  struct Step {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    const char* ip;  // of the row that becomes current
    const char* gateway;
    const char* mask;
    bool tcp;
  } steps[] = {
      {Qt::Key_Down, Qt::NoModifier, "10.0.0.2", "10.0.0.254", "255.255.0.0", false},
      {Qt::Key_Down, Qt::NoModifier, "10.0.0.1", "10.0.0.1", "255.255.255.0", false},
      {Qt::Key_Down, Qt::NoModifier, "10.0.0.1", "10.0.0.1", "255.255.255.0", false},  // the last row stays
      {Qt::Key_Up, Qt::NoModifier, "10.0.0.2", "10.0.0.254", "255.255.0.0", false},
      {Qt::Key_Home, Qt::ControlModifier, "10.0.0.3", "10.0.0.1", "255.255.255.0", true},
      {Qt::Key_End, Qt::ControlModifier, "10.0.0.1", "10.0.0.1", "255.255.255.0", false},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.ip);
    QTest::keyClick(&p_.table(), s.key, s.modifiers);
    ASSERT_EQ(p_.cell(p_.table().currentIndex().row(), 0), QString::fromLatin1(s.ip));
    EXPECT_EQ(p_.ip().text(), QString::fromLatin1(s.ip));
    EXPECT_EQ(p_.manualIp().text(), QString::fromLatin1(s.ip));
    EXPECT_EQ(p_.gateway().text(), QString::fromLatin1(s.gateway));
    EXPECT_EQ(p_.mask().text(), QString::fromLatin1(s.mask));
    EXPECT_EQ(p_.tcp().isChecked(), s.tcp);
  }
}

TEST_F(Window, OnlyFoundDeviceEventsWithARecordAddRows) {
  // Not the window's: it must not take (nor free) a record of another id.
  std::unique_ptr<StSearchResult> record(new StSearchResult(Record("10.0.0.1", "x")));
  auto* otherId = new UserEvent(8001);
  otherId->m_pPayload = record.get();
  auto* noRecord = new UserEvent(kDeviceFoundEvent);
  QCoreApplication::postEvent(window_.get(), otherId);
  QCoreApplication::postEvent(window_.get(), noRecord);
  QCoreApplication::postEvent(window_.get(), new QEvent(QEvent::User));
  QCoreApplication::sendPostedEvents(window_.get(), QEvent::User);
  EXPECT_EQ(p_.rows(), 0);
}

TEST_F(Window, CallbacksOnOtherThreadsOnlyPostRowsAddedOnTheGuiThread) {
  StCameraInfo cam;
  InitCameraInfo(&cam);
  cam.ip = IpTextToUint("198.51.100.21");
  strcpy(cam.version, "IPNC");
  strcat(cam.version, Gbk("-卡口").c_str());
  StLprDeviceInfo lpr;
  memset(&lpr, 0, sizeof lpr);
  strcpy(lpr.ip, "198.51.100.30");
  strcpy(lpr.type, "MOLQ-SD");
  StSearchResult box = Record("198.51.100.40", "VELD-box");
  // The same camera again through the box library's callback replaces it.
  StSearchResult sameIp = Record("198.51.100.21", "VELK-second");

  std::atomic<int> rowsSeenOnWorker{-1};
  std::thread worker([&] {
    CameraSearchCallback(&cam);
    LprScanCallback(nullptr, &lpr);
    BoxSearchCallback(&box);
    rowsSeenOnWorker = p_.rows();  // nothing is added on this thread
    BoxSearchCallback(&sameIp);
  });
  worker.join();
  EXPECT_EQ(rowsSeenOnWorker.load(), 0);
  EXPECT_EQ(p_.rows(), 0) << "rows wait for the GUI thread's event loop";
  ASSERT_TRUE(ProcessEventsUntil([&] { return p_.rows() == 3 && p_.cell(0, 0) == "198.51.100.21"; }, 3000));
  EXPECT_EQ(p_.row(0), (QStringList{"198.51.100.21", "00-00-00-00-00-00", "VELK-second", "", "0.0.0.0",
                                    "0.0.0.0", kAuto}));
  EXPECT_EQ(p_.cell(1, 0), QStringLiteral("198.51.100.40"));
  EXPECT_EQ(p_.cell(2, 2), QStringLiteral("MOLQ-SD"));
}

TEST(WindowGone, ACallbackAfterTheWindowIsGoneFreesItsRecord) {
  MessageRecorder messages;
  {
    MainWindow w;
    const StSearchResult box = Record("198.51.100.40", "VELD-box");
    StSearchResult copy = box;
    BoxSearchCallback(&copy);  // queued, not yet delivered when the window goes
    w.close();
  }
  EXPECT_EQ(g_pMainWindow, nullptr);
  StSearchResult late = Record("198.51.100.41", "VELD-box");
  BoxSearchCallback(&late);  // nothing to post to: the copy is freed (a leak check sees it)
  QCoreApplication::sendPostedEvents();
}

TEST_F(Window, AHeaderClickSortsByThatColumnInTheIndicatorsOrder) {
  for (const char* ip : {"10.0.0.2", "10.0.0.3", "10.0.0.1"}) {
    const StSearchResult r = Record(ip, "IPNC");
    window_->AddDeviceRow(&r, true);
  }
  window_->show();
  QHeaderView* header = p_.table().horizontalHeader();
  const QPoint first(header->sectionViewportPosition(0) + 20, header->height() / 2);
  auto column0 = [&] { return QStringList{p_.cell(0, 0), p_.cell(1, 0), p_.cell(2, 0)}; };
  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, first);
  const QStringList once = column0();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, first);
  const QStringList twice = column0();
  const QStringList up{"10.0.0.1", "10.0.0.2", "10.0.0.3"}, down{"10.0.0.3", "10.0.0.2", "10.0.0.1"};
  // Each click flips the indicator and sorts in its new order.
  EXPECT_TRUE((once == up && twice == down) || (once == down && twice == up)) << once.join(' ').toStdString();
  EXPECT_EQ(once == up ? Qt::DescendingOrder : Qt::AscendingOrder, header->sortIndicatorOrder());
}

// Takes the "http" URLs that the window hands to the system's browser.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  UrlCatcher() { QDesktopServices::setUrlHandler("http", this, "open"); }
  ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("http"); }
  QStringList urls;
 public slots:
  void open(const QUrl& url) { urls << url.toString(); }
};

TEST_F(Window, ADoubleClickOpensTheDevicesWebPage) {
  UrlCatcher browser;
  const StSearchResult r = Record("192.168.1.64", "IPNC");
  window_->AddDeviceRow(&r, true);
  window_->show();
  const QRect cell = p_.table().visualRect(p_.model().index(0, 3));
  // A double click is a press and release, then the double-click press.
  QTest::mouseClick(p_.table().viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  QTest::mouseDClick(p_.table().viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  EXPECT_EQ(browser.urls, QStringList{"http://192.168.1.64/"});
  window_->OpenLinkWeb(QModelIndex());  // no row: nothing
  EXPECT_EQ(browser.urls.size(), 1);
}

TEST_F(Window, ClosingQuitsTheThreeLibraries) {
  // Started: calls that send nothing get past the libraries' start checks.
  EXPECT_EQ(PyrnBox_RegLogInfoCallback(nullptr), 0);
  EXPECT_EQ(LPR_SetNetParams(nullptr, nullptr, nullptr), 3);
  window_->close();
  EXPECT_EQ(Qelm_SearchCamera(), 4) << "the camera library is no longer started";
  EXPECT_EQ(LPR_SetNetParams(nullptr, nullptr, nullptr), 2) << "the plate-recognition library is no longer running";
  EXPECT_EQ(PyrnBox_RegLogInfoCallback(nullptr), 200) << "the box library is no longer started";
}

// ---- checks that refuse before any library is asked ----

TEST_F(Window, ManualAddRefusesMissingAndKnownAddresses) {
  const StSearchResult known = Record("10.0.0.7", "IPNC");
  window_->AddDeviceRow(&known, true);
  struct Case {
    const char* text;  // into the manual-IP editor (null: a field left empty)
    const char* message;
  } cases[] = {
      {"0.0.0.0", "IP地址输入错误，请重新输入！"},
      {"", "IP地址输入错误，请重新输入！"},     // nothing typed: "..."
      {nullptr, "IP地址输入错误，请重新输入！"},  // "10..0.1" names no address
      {"10.0.0.7", "此设备IP已经添加到列表，请重新输入！"},
  };
  for (const auto& c : cases) {
    if (c.text) {
      p_.manualIp().setText(QString::fromLatin1(c.text));
    } else {
      p_.manualIp().setText("10.1.0.1");
      p_.manualIp().part(2)->clear();
    }
    window_->ManualAddDevice();
    EXPECT_EQ(messages_.Take(), QStringList{QString::fromUtf8(c.message)}) << p_.manualIp().text().toStdString();
    EXPECT_EQ(p_.rows(), 1);
  }
}

TEST_F(Window, ModifyRefusesBadFormsWithoutAskingALibrary) {
  const StSearchResult row = Record("192.168.1.20", "VELD-box", "", "192.168.1.1", "255.255.255.0");
  window_->AddDeviceRow(&row, true);
  window_->ModifyNetParam();
  EXPECT_EQ(messages_.Take(), QStringList{"未选中要修改网络参数的设备！"});

  p_.select(0);
  struct Case {
    const char* ip;
    const char* mask;
    const char* gateway;
    const char* message;
  } cases[] = {
      {"0.0.0.0", "255.255.255.0", "192.168.1.1", "IP有输错，请重新输入！"},
      {"192.168.1.21", "255.255.255.0", "0.0.0.0", "IP有输错，请重新输入！"},
      {"192.168.1.21", "0.0.0.0", "192.168.1.1", "IP有输错，请重新输入！"},
      {"192.168.1.21", "255.255.255.0", "bad", "IP有输错，请重新输入！"},  // an emptied editor
      {"192.168.1.20", "255.255.255.0", "192.168.2.1", "IP有和网关不在同一网络，请重新输入！"},
      {"192.168.1.20", "255.255.0.0", "192.168.2.1", "IP有和网关不在同一网络，请重新输入！"},
  };
  for (const auto& c : cases) {
    p_.form(c.ip, c.mask, c.gateway);
    window_->ModifyNetParam();
    EXPECT_EQ(messages_.Take(), QStringList{QString::fromUtf8(c.message)}) << c.ip << " " << c.gateway;
  }
  // A field emptied by hand, also in the IP address.
  p_.form("192.168.1.21", "255.255.255.0", "192.168.1.1");
  p_.ip().part(4)->clear();
  window_->ModifyNetParam();
  EXPECT_EQ(messages_.Take(), QStringList{"IP有输错，请重新输入！"});
  EXPECT_EQ(p_.row(0)[0], QStringLiteral("192.168.1.20"));
}

}  // namespace

#include "window_test.moc"
