#include "myipaddredit.h"

#include <QFont>
#include <QRegExp>
#include <QRegExpValidator>
#include <QStringList>

#include "ui_myipaddredit.h"

namespace {

const char kOctetPattern[] = "((2[0-4]\\d|25[0-5]|[01]?\\d\\d?)\\.){3}(2[0-4]\\d|25[0-5]|[01]?\\d\\d?)";

QLabel* MakeDot(QWidget* parent, int x) {
  QLabel* dot = new QLabel(parent);
  dot->setGeometry(x, 1, 6, 30);
  dot->setText(QStringLiteral("."));
  dot->setAlignment(Qt::AlignCenter);
  QFont font;
  font.setFamily(QStringLiteral("宋体"));
  font.setPointSize(10);
  font.setBold(true);
  font.setWeight(75);
  dot->setFont(font);
  return dot;
}

IpPart* MakePart(QWidget* parent, int x) {
  IpPart* part = new IpPart(parent);
  part->setGeometry(x, 0, 40, 30);
  part->setFrame(true);
  return part;
}

}  // namespace

MyIpAddrEdit::MyIpAddrEdit(QWidget* parent) : QWidget(parent), ui(new Ui::MyIpAddrEdit) {
  ui->setupUi(this);
  setFixedSize(290, 30);

  m_pPart1 = MakePart(this, 0);
  m_pDot1 = MakeDot(this, 42);
  m_pPart2 = MakePart(this, 48);
  m_pDot2 = MakeDot(this, 90);
  m_pPart3 = MakePart(this, 96);
  m_pDot3 = MakeDot(this, 138);
  m_pPart4 = MakePart(this, 146);

  setTabOrder(m_pPart1, m_pPart2);
  setTabOrder(m_pPart2, m_pPart3);
  setTabOrder(m_pPart3, m_pPart4);
  m_pPart1->next = m_pPart2;
  m_pPart2->next = m_pPart3;
  m_pPart3->next = m_pPart4;

  IpPart* const parts[] = {m_pPart1, m_pPart2, m_pPart3, m_pPart4};
  for (IpPart* p : parts) connect(p, &QLineEdit::textChanged, this, &MyIpAddrEdit::textchangedslot);
  for (IpPart* p : parts) connect(p, &QLineEdit::textEdited, this, &MyIpAddrEdit::texteditedslot);
  connect(m_pPart1, &QLineEdit::editingFinished, this, &MyIpAddrEdit::verifyIPPart1);
  connect(m_pPart2, &QLineEdit::editingFinished, this, &MyIpAddrEdit::verifyIPPart2);
  connect(m_pPart3, &QLineEdit::editingFinished, this, &MyIpAddrEdit::verifyIPPart3);
  connect(m_pPart4, &QLineEdit::editingFinished, this, &MyIpAddrEdit::verifyIPPart4);
  connect(m_pPart1, &QLineEdit::textChanged, this, &MyIpAddrEdit::prepareIPPart1);
  connect(m_pPart2, &QLineEdit::textChanged, this, &MyIpAddrEdit::prepareIPPart2);
  connect(m_pPart3, &QLineEdit::textChanged, this, &MyIpAddrEdit::prepareIPPart3);
  connect(m_pPart4, &QLineEdit::textChanged, this, &MyIpAddrEdit::prepareIPPart4);
}

MyIpAddrEdit::~MyIpAddrEdit() { delete ui; }

IpPart* MyIpAddrEdit::part(int n) const {
  switch (n) {
    case 1: return m_pPart1;
    case 2: return m_pPart2;
    case 3: return m_pPart3;
    case 4: return m_pPart4;
    default: return nullptr;
  }
}

void MyIpAddrEdit::setIpType(int type) { m_nType = type; }

QString MyIpAddrEdit::text() const {
  return QStringLiteral("%1.%2.%3.%4")
      .arg(m_pPart1->text(), m_pPart2->text(), m_pPart3->text(), m_pPart4->text());
}

void MyIpAddrEdit::setText(const QString& text) {
  QRegExpValidator validator(QRegExp(QLatin1String(kOctetPattern), Qt::CaseSensitive, QRegExp::RegExp));
  QString probe = text;
  int pos = 0;
  if (validator.validate(probe, pos) == QValidator::Acceptable) {
    const QStringList pieces = text.split(QLatin1Char('.'));
    m_pPart1->setText(pieces.value(0));
    m_pPart2->setText(pieces.value(1));
    m_pPart3->setText(pieces.value(2));
    m_pPart4->setText(pieces.value(3));
  } else {
    m_pPart1->clear();
    m_pPart2->clear();
    m_pPart3->clear();
    m_pPart4->clear();
  }
}

void MyIpAddrEdit::textchangedslot(const QString&) { emit textchanged(text()); }

void MyIpAddrEdit::texteditedslot(const QString&) {
  normalizeParts();
  emit textedited(text());
}

void MyIpAddrEdit::normalizeParts() {
  for (IpPart* p : {m_pPart1, m_pPart2, m_pPart3, m_pPart4}) {
    const QString text = p->text();
    const QString number = QString::number(text.toInt());
    // QLineEdit::setText drops the selection even for the same text: a field
    // that the focus has just reached with all of its text selected would
    // then take the next digits after its old ones instead of in their place.
    if (number == text) continue;
    const bool wholeSelected = !text.isEmpty() && p->selectedText() == text;
    const int fromEnd = text.size() - p->cursorPosition();
    p->setText(number);
    if (!p->hasFocus()) continue;
    if (wholeSelected)
      p->selectAll();
    else
      p->setCursorPosition(qMax(0, number.size() - fromEnd));
  }
}

bool MyIpAddrEdit::isMaskOctet(int value) {
  switch (value) {
    case 0: case 128: case 192: case 224: case 240: case 248: case 252: case 254: case 255:
      return true;
    default:
      return false;
  }
}

void MyIpAddrEdit::prepareIPPart(int n, const QString& text) {
  if (text.size() >= 3) verifyIPPart(n);
}

void MyIpAddrEdit::prepareIPPart1(const QString& text) { prepareIPPart(1, text); }
void MyIpAddrEdit::prepareIPPart2(const QString& text) { prepareIPPart(2, text); }
void MyIpAddrEdit::prepareIPPart3(const QString& text) { prepareIPPart(3, text); }
void MyIpAddrEdit::prepareIPPart4(const QString& text) { prepareIPPart(4, text); }

void MyIpAddrEdit::verifyIPPart1() { verifyIPPart(1); }
void MyIpAddrEdit::verifyIPPart2() { verifyIPPart(2); }
void MyIpAddrEdit::verifyIPPart3() { verifyIPPart(3); }
void MyIpAddrEdit::verifyIPPart4() { verifyIPPart(4); }

void MyIpAddrEdit::verifyIPPart(int n) {
  IpPart* p = part(n);
  int v = p->text().toInt();  // a non-number reads as 0
  const bool mask = m_nType == kSubnetMask;
  switch (n) {
    case 1:
      if (mask) {
        if (v < 192 || !isMaskOctet(v)) v = 255;
      } else if (v == 0 || v == 127 || v == 169 || v == 224 || v == 255) {
        v = 192;
      }
      break;
    case 2:
    case 3:
      if (mask && !(part(n - 1)->text().toInt() == 255 && isMaskOctet(v))) v = 0;
      break;
    case 4:
      if (mask) {
        if (m_pPart3->text().toInt() < 255 || v == 255 || !isMaskOctet(v)) v = 0;
      } else if (m_nType == kIpAddress && (v == 0 || v == 1 || v == 255)) {
        v = 100;
      }
      break;
    default:
      return;
  }
  p->setText(QString::number(v));
}
