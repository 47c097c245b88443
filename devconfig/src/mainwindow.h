// The tool's one window: the device table, the search and manual-add
// buttons, and the network-parameter form. The libraries' found-device
// callbacks only post a UserEvent to it; rows are added on the GUI thread.
#pragma once

#include <QCheckBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMainWindow>
#include <QModelIndex>
#include <QPersistentModelIndex>
#include <QPushButton>
#include <QString>
#include <QTableView>

#include "device_table.h"
#include "myipaddredit.h"
#include "records.h"

namespace Ui {
class MainWindow;
}

// Event id of a found device; its payload is a heap StSearchResult that the
// window deletes after adding the row.
constexpr int kDeviceFoundEvent = 8000;

class UserEvent : public QEvent {
 public:
  static constexpr QEvent::Type kType = QEvent::User;  // 1000

  explicit UserEvent(int id) : QEvent(kType), m_nId(id) {}
  // The payload belongs to whoever handles the event.
  ~UserEvent() override = default;

  void* m_pPayload = nullptr;
  int m_nId;
};

class MainWindow;
// The window the callbacks post to; set by the constructor before the
// libraries start and cleared by the destructor.
extern MainWindow* g_pMainWindow;

// Posts a found device to the window (normal priority). Any thread. Without a
// window the record is freed and nothing is posted.
void PostDeviceFound(StSearchResult* result);

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Adds a row for the record at the top, after removing the row that holds
  // its IP address, if any. Column 6 tells how the row came.
  void AddDeviceRow(const StSearchResult* result, bool autoFound);
  // Every row under the old IP text takes the new IP address, gateway and
  // mask.
  void UpdateDeviceRow(const StNetParams& params, const QString& oldIp);
  // Removes every row that a search found; rows added by hand stay.
  void ClearAutoSearchRows();
  // Probes one address through the three libraries and adds a row for what
  // answers there.
  void AddDeviceByIp(const QString& ip);

 public slots:
  void ShowSelectedData(const QModelIndex& index);
  void OpenLinkWeb(const QModelIndex& index);
  void SearchDevice();
  void ManualAddDevice();
  void ModifyNetParam();

 protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  friend struct MainWindowProbe;  // the tests' view of the widgets

  bool HasRowWithIp(const QString& ip) const;
  // The form shows the device of the row that became current, however it
  // did (a click, the arrow keys, the view itself).
  void FollowCurrentRow(const QModelIndex& current);
  // The TCP box shows the path of the form's row: checked unless a search
  // found it.
  void ShowFormRowPath();
  // Once the form's row is gone, neither the form nor the table's selection
  // names a device any more.
  void DropFormIfRowGone();

  DeviceTableModel* m_pModel;
  QGroupBox* m_pListGroup;
  QTableView* m_pTable;
  QCheckBox* m_pBrowserCheck;
  QPushButton* m_pSearchButton;
  QPushButton* m_pManualAddButton;
  QGroupBox* m_pNetGroup;
  QLabel* m_pIpLabel;
  QLabel* m_pMaskLabel;
  QLabel* m_pGatewayLabel;
  MyIpAddrEdit* m_pManualIpEdit;
  MyIpAddrEdit* m_pIpEdit;
  MyIpAddrEdit* m_pMaskEdit;
  MyIpAddrEdit* m_pGatewayEdit;
  QPushButton* m_pModifyButton;
  QCheckBox* m_pTcpCheck;
  Ui::MainWindow* ui;

  // The row the network form was filled from. A change acts on this row
  // alone, wherever it has moved; the table's current index is not used, as
  // Qt moves it to a neighbour when its row goes.
  QPersistentModelIndex m_formRow;
  bool m_formHasRow = false;
  bool m_replacingFormRow = false;  // a re-found device is taking its row's place
  // Rows are going: the view moves the current row off them, which names no
  // device for the form.
  bool m_removingRows = false;
};

// Texts of column 6.
QString AutoSearchMark();
QString ManualAddMark();
