// Dotted-quad editor of four IpPart fields. Its type decides how an octet is
// corrected when the user leaves a field or completes three digits: an IP
// address (0), a subnet mask (1) or a gateway (2).
#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

#include "ippart.h"

namespace Ui {
class MyIpAddrEdit;
}

class MyIpAddrEdit : public QWidget {
  Q_OBJECT

 public:
  enum Type { kIpAddress = 0, kSubnetMask = 1, kGateway = 2 };

  explicit MyIpAddrEdit(QWidget* parent = nullptr);
  ~MyIpAddrEdit() override;

  void setIpType(int type);
  int ipType() const { return m_nType; }
  // "a.b.c.d" of the four fields as they stand (an empty one leaves an empty
  // place).
  QString text() const;
  // A dotted address of four octets fills the fields; any other text empties
  // all four.
  void setText(const QString& text);

  IpPart* part(int n) const;  // n = 1..4

 signals:
  void textchanged(const QString& text);
  void textedited(const QString& text);

 public slots:
  void textchangedslot(const QString& text);
  void texteditedslot(const QString& text);
  void prepareIPPart1(const QString& text);
  void prepareIPPart2(const QString& text);
  void prepareIPPart3(const QString& text);
  void prepareIPPart4(const QString& text);
  void verifyIPPart1();
  void verifyIPPart2();
  void verifyIPPart3();
  void verifyIPPart4();

 private:
  void normalizeParts();
  static bool isMaskOctet(int value);
  void prepareIPPart(int n, const QString& text);
  void verifyIPPart(int n);

  IpPart* m_pPart1;
  IpPart* m_pPart2;
  IpPart* m_pPart3;
  IpPart* m_pPart4;
  QLabel* m_pDot1;
  QLabel* m_pDot2;
  QLabel* m_pDot3;
  int m_nType = kIpAddress;
  Ui::MyIpAddrEdit* ui;
};
