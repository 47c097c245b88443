// One octet field of the IP address editor: at most three digits, moves on
// to the next field once the octet is complete or on "." and space.
#pragma once

#include <QLineEdit>
#include <QString>

namespace Ui {
class IpPart;
}

class IpPart : public QLineEdit {
  Q_OBJECT

 public:
  explicit IpPart(QWidget* parent = nullptr);
  ~IpPart() override;

  // The field that takes the focus after this one (null for the last).
  IpPart* next = nullptr;

 public slots:
  void text_edited(const QString& text);

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void focusInEvent(QFocusEvent* e) override;

 private:
  void FocusNext();

  Ui::IpPart* ui;
  QString m_lastEdited;  // the user's last edit of this field since it took the focus
};
