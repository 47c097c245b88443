#include "ippart.h"

#include <QIntValidator>
#include <QKeyEvent>

#include "ui_ippart.h"

namespace {

// The field's validator: 0-255. Qt's QIntValidator lets a number of as many
// digits as the top (256-999) through as intermediate input; a field that
// holds an octet refuses those keystrokes outright.
class OctetValidator : public QIntValidator {
 public:
  explicit OctetValidator(QObject* parent) : QIntValidator(0, 255, parent) {}
  State validate(QString& input, int& pos) const override {
    const State state = QIntValidator::validate(input, pos);
    bool number = false;
    const int value = input.toInt(&number);
    if (state == Intermediate && number && value > top()) return Invalid;
    return state;
  }
};

}  // namespace

IpPart::IpPart(QWidget* parent) : QLineEdit(parent), ui(new Ui::IpPart) {
  ui->setupUi(this);
  setMaxLength(3);
  setFrame(false);
  setAlignment(Qt::AlignCenter);
  setValidator(new OctetValidator(this));
  connect(this, &QLineEdit::textEdited, this, &IpPart::text_edited);
}

IpPart::~IpPart() { delete ui; }

void IpPart::FocusNext() {
  if (!next) return;
  next->setFocus(Qt::OtherFocusReason);
  next->selectAll();
}

void IpPart::keyPressEvent(QKeyEvent* e) {
  const int key = e->key();
  if ((key == Qt::Key_Period || key == Qt::Key_Space) && next && !m_lastEdited.isEmpty())
    FocusNext();
  switch (key) {
    case Qt::Key_0:
    case Qt::Key_1:
    case Qt::Key_2:
    case Qt::Key_3:
    case Qt::Key_4:
    case Qt::Key_5:
    case Qt::Key_6:
    case Qt::Key_7:
    case Qt::Key_8:
    case Qt::Key_9:
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
    case Qt::Key_Left:
    case Qt::Key_Up:
    case Qt::Key_Right:
    case Qt::Key_Down:
      QLineEdit::keyPressEvent(e);
      break;
    default:
      break;  // swallowed, the "." and the space among them
  }
}

void IpPart::text_edited(const QString& text) {
  m_lastEdited = text;
  QIntValidator validator(0, 255);
  QString probe = text;
  int pos = 0;
  if (validator.validate(probe, pos) != QValidator::Acceptable) return;
  // "25" may still become 250-255, "26" cannot grow.
  if (text.size() == 3 || (text.size() == 2 && text.toInt() > 25)) FocusNext();
}

void IpPart::focusInEvent(QFocusEvent* e) {
  // Each visit to the field starts without an edit, so that a "." typed
  // right after a full octet moved the focus here does not skip this field
  // because of what was typed into it on an earlier visit. The window
  // coming back to the front is no new visit.
  if (e->reason() != Qt::ActiveWindowFocusReason && e->reason() != Qt::PopupFocusReason) m_lastEdited.clear();
  selectAll();
  QLineEdit::focusInEvent(e);
}
