// The tests' view of the window: its widgets, a row helper, and a recorder
// that takes the place of the message boxes.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <QTableView>
#include <QThread>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "mainwindow.h"
#include "message.h"

// Failure messages show texts, not their UTF-16 units.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

struct MainWindowProbe {
  explicit MainWindowProbe(MainWindow& w) : w(w) {}
  MainWindow& w;

  DeviceTableModel& model() const { return *w.m_pModel; }
  QTableView& table() const { return *w.m_pTable; }
  MyIpAddrEdit& manualIp() const { return *w.m_pManualIpEdit; }
  MyIpAddrEdit& ip() const { return *w.m_pIpEdit; }
  MyIpAddrEdit& mask() const { return *w.m_pMaskEdit; }
  MyIpAddrEdit& gateway() const { return *w.m_pGatewayEdit; }
  QCheckBox& tcp() const { return *w.m_pTcpCheck; }
  QCheckBox& browser() const { return *w.m_pBrowserCheck; }
  QGroupBox& listGroup() const { return *w.m_pListGroup; }
  QGroupBox& netGroup() const { return *w.m_pNetGroup; }
  QPushButton& searchButton() const { return *w.m_pSearchButton; }
  QPushButton& manualAddButton() const { return *w.m_pManualAddButton; }
  QPushButton& modifyButton() const { return *w.m_pModifyButton; }

  int rows() const { return model().rowCount(); }
  QString cell(int row, int column) const { return model().index(row, column).data().toString(); }
  // The seven texts of a row.
  QStringList row(int r) const {
    QStringList out;
    for (int c = 0; c < 7; ++c) out << cell(r, c);
    return out;
  }
  int rowWithIp(const QString& ip) const {
    for (int r = 0; r < rows(); ++r)
      if (cell(r, 0) == ip) return r;
    return -1;
  }
  // Makes a row current and shows it in the form, as a click does.
  void select(int r) const {
    const QModelIndex index = model().index(r, 0);
    table().setCurrentIndex(index);
    w.ShowSelectedData(index);
  }
  // Fills the form.
  void form(const char* ipText, const char* maskText, const char* gatewayText) const {
    ip().setText(QString::fromLatin1(ipText));
    mask().setText(QString::fromLatin1(maskText));
    gateway().setText(QString::fromLatin1(gatewayText));
  }
};

// Records every message in place of the message box, for as long as it lives.
class MessageRecorder {
 public:
  MessageRecorder() {
    SetMessageSink([this](const QString& text) { texts_ << text; });
  }
  ~MessageRecorder() { SetMessageSink(nullptr); }
  QStringList Take() {
    QStringList out = texts_;
    texts_.clear();
    return out;
  }

 private:
  QStringList texts_;
};

// A record as a library would hand it to the window.
inline StSearchResult Record(const char* ip, const char* version, const char* serial = "",
                             const char* gateway = "0.0.0.0", const char* mask = "0.0.0.0") {
  StSearchResult r;
  InitSearchResult(&r);
  r.ip = IpTextToUint(QString::fromLatin1(ip));
  r.gateway = IpTextToUint(QString::fromLatin1(gateway));
  r.mask = IpTextToUint(QString::fromLatin1(mask));
  strncpy(r.version, version, sizeof r.version - 1);
  strncpy(r.factory.serial, serial, sizeof r.factory.serial - 1);
  return r;
}

// Runs the GUI thread's events until `cond` holds or the time runs out.
template <class Cond>
bool ProcessEventsUntil(Cond cond, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  for (;;) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    if (cond()) return true;
    if (t.elapsed() >= timeoutMs) return false;
    QThread::msleep(2);
  }
}
