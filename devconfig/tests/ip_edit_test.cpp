// The IP address editor as a user drives it: typing into the focused field,
// the moves between fields, the octet corrections of each editor type, and
// text in and out.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include <string>
#include <vector>

#include "case_name.h"
#include "myipaddredit.h"

namespace {

// An editor in a window of its own beside a line edit that takes the focus
// away from it ("leaving" the editor finishes the edit of a field).
class Editor {
 public:
  explicit Editor(int type) {
    // The other line edit comes first, so that it, not a field, has the
    // focus when the window opens.
    auto* layout = new QVBoxLayout(&window_);
    elsewhere_ = new QLineEdit(&window_);
    edit_ = new MyIpAddrEdit(&window_);
    layout->addWidget(edit_);
    layout->addWidget(elsewhere_);
    edit_->setIpType(type);
    window_.show();
    QApplication::setActiveWindow(&window_);
    active_ = QTest::qWaitForWindowActive(&window_);
  }
  bool Active() const { return active_; }
  MyIpAddrEdit& edit() { return *edit_; }

  void Focus(int part) {
    edit_->part(part)->setFocus(Qt::MouseFocusReason);
    QApplication::processEvents();
  }
  void Leave() {
    elsewhere_->setFocus(Qt::OtherFocusReason);
    QApplication::processEvents();
  }
  // Each character goes to whichever widget has the focus at that moment:
  // '\b' Backspace, '<' Left, '>' Right, '~' Delete; others as typed.
  void Type(const std::string& keys) {
    for (char c : keys) {
      QWidget* target = QApplication::focusWidget();
      ASSERT_NE(target, nullptr);
      switch (c) {
        case '\b': QTest::keyClick(target, Qt::Key_Backspace); break;
        case '<': QTest::keyClick(target, Qt::Key_Left); break;
        case '>': QTest::keyClick(target, Qt::Key_Right); break;
        case '~': QTest::keyClick(target, Qt::Key_Delete); break;
        default: QTest::keyClick(target, c); break;
      }
    }
  }
  std::vector<std::string> Parts() const {
    std::vector<std::string> out;
    for (int n = 1; n <= 4; ++n) out.push_back(edit_->part(n)->text().toStdString());
    return out;
  }
  // The field that has the focus (0: none of the editor's).
  int FocusedPart() const {
    for (int n = 1; n <= 4; ++n)
      if (QApplication::focusWidget() == edit_->part(n)) return n;
    return 0;
  }

 private:
  QWidget window_;
  MyIpAddrEdit* edit_;
  QLineEdit* elsewhere_;
  bool active_ = false;
};

constexpr int kIp = MyIpAddrEdit::kIpAddress;
constexpr int kMask = MyIpAddrEdit::kSubnetMask;
constexpr int kGateway = MyIpAddrEdit::kGateway;

struct Step {
  int part;          // field to click into first (0: type where the focus is)
  std::string keys;  // then these keys
  bool leave;        // then move the focus out of the editor
};

struct TypingCase {
  const char* name;
  int type;
  const char* initial;  // setText before typing (null: a fresh editor)
  std::vector<Step> steps;
  std::vector<std::string> parts;
  int focusedPart;  // 0: the focus is outside the editor
};

const TypingCase kTyping[] = {
    {"three digits move on, 30 moves on", kIp, nullptr,
     {{1, "19", false}, {0, "2", false}, {0, "30", false}}, {"192", "30", "0", "0"}, 3},
    {"1 alone stays in its field", kIp, nullptr, {{1, "1", false}}, {"1", "0", "0", "0"}, 1},
    {"25 may still grow and stays", kIp, nullptr, {{2, "25", false}}, {"0", "25", "0", "0"}, 2},
    {"256 is refused digit by digit", kIp, nullptr, {{2, "256", false}}, {"0", "25", "0", "0"}, 2},
    {"26 moves on", kIp, nullptr, {{2, "26", false}}, {"0", "26", "0", "0"}, 3},
    {"dot in an empty field stays", kIp, nullptr, {{2, ".", false}}, {"", "", "", ""}, 2},
    {"space in an empty field stays", kIp, nullptr, {{1, " ", false}}, {"", "", "", ""}, 1},
    {"dot after 10 moves on and never shows", kIp, nullptr, {{1, "10.", false}},
     {"10", "0", "0", "0"}, 2},
    {"space after 10 moves on", kIp, nullptr, {{1, "10 ", false}}, {"10", "0", "0", "0"}, 2},
    {"dot in the last field has nowhere to go", kIp, nullptr, {{4, "10.", false}},
     {"0", "0", "0", "10"}, 4},
    {"letters and signs are swallowed", kIp, nullptr, {{1, "1a-2", false}}, {"12", "0", "0", "0"}, 1},
    {"leading zeros go", kIp, nullptr, {{3, "05", false}}, {"0", "0", "5", "0"}, 3},
    {"backspace edits within its field", kIp, nullptr, {{1, "19\b", false}}, {"1", "0", "0", "0"}, 1},
    {"an emptied field reads 0", kIp, nullptr, {{2, "5\b", false}}, {"0", "0", "0", "0"}, 2},
    {"arrows and backspace at the start do not leave the field", kIp, "10.20.30.40",
     {{3, ">><<<\b<", false}}, {"10", "20", "30", "40"}, 3},
    {"delete edits within its field", kIp, "10.20.30.40", {{2, "<<~", false}}, {"10", "0", "30", "40"}, 2},
    // Corrections by type.
    {"IP: first octet 127 becomes 192 at the third digit", kIp, nullptr, {{1, "127", false}},
     {"192", "0", "0", "0"}, 2},
    {"IP: 169 and 224 become 192", kIp, "10.0.0.5", {{1, "169", false}, {1, "224", false}},
     {"192", "0", "0", "5"}, 2},
    {"IP: last octet 255 becomes 100", kIp, "10.0.0.5", {{4, "255", false}}, {"10", "0", "0", "100"}, 4},
    {"IP: last octet 1 becomes 100 when the field is left", kIp, "10.0.0.5", {{4, "1", true}},
     {"10", "0", "0", "100"}, 0},
    {"IP: first octet 0 becomes 192 when the field is left", kIp, "10.0.0.5", {{1, "0", true}},
     {"192", "0", "0", "5"}, 0},
    {"IP: middle octets are kept", kIp, "10.0.0.5", {{2, "255", false}, {0, "0", true}},
     {"10", "255", "0", "5"}, 0},
    {"gateway: first octet follows the IP rule", kGateway, nullptr, {{1, "127", false}},
     {"192", "0", "0", "0"}, 2},
    {"gateway: last octet is left as typed", kGateway, "10.0.0.5", {{4, "255", true}},
     {"10", "0", "0", "255"}, 0},
    {"mask: first octet 100 becomes 255", kMask, nullptr, {{1, "100", false}}, {"255", "0", "0", "0"}, 2},
    {"mask: first octet that is no mask octet becomes 255", kMask, nullptr, {{1, "253", false}},
     {"255", "0", "0", "0"}, 2},
    {"mask: 192 and 254 first octets stay", kMask, nullptr, {{1, "254", false}}, {"254", "0", "0", "0"}, 2},
    {"mask: second octet needs a first of 255", kMask, "254.0.0.0", {{2, "128", false}},
     {"254", "0", "0", "0"}, 3},
    {"mask: third octet after 255.128 becomes 0", kMask, "255.128.0.0", {{3, "255", false}},
     {"255", "128", "0", "0"}, 4},
    {"mask: last octet 255 becomes 0", kMask, "255.255.255.0", {{4, "255", false}},
     {"255", "255", "255", "0"}, 4},
    {"mask: last octet 252 after 255.255.255 stays", kMask, "255.255.255.0", {{4, "252", false}},
     {"255", "255", "255", "252"}, 4},
};

void PrintTo(const TypingCase& c, std::ostream* os) { *os << c.name; }

class Typing : public testing::TestWithParam<TypingCase> {};

TEST_P(Typing, EndsWithTheseFieldsAndFocus) {
  const TypingCase& c = GetParam();
  Editor e(c.type);
  ASSERT_TRUE(e.Active());
  if (c.initial) e.edit().setText(QString::fromLatin1(c.initial));
  for (const Step& s : c.steps) {
    if (s.part) e.Focus(s.part);
    e.Type(s.keys);
    if (s.leave) e.Leave();
  }
  EXPECT_EQ(e.Parts(), c.parts);
  EXPECT_EQ(e.FocusedPart(), c.focusedPart);
}

INSTANTIATE_TEST_SUITE_P(Cases, Typing, testing::ValuesIn(kTyping),
                         [](const testing::TestParamInfo<TypingCase>& info) {
                           return CaseName(info.param.name) + "_" + std::to_string(info.index);
                         });

// Typing a whole address over one the editor already holds: every move to the
// next field (by a full octet, "." or space) selects that field's text, so the
// next digits replace it and the editor ends with exactly what was typed.
struct OverCase {
  const char* name;
  int type;
  const char* initial;
  std::string earlier;  // typed into part 2 before, over its own text (empty: nothing)
  std::string keys;     // typed after a click into part 1, then the editor is left
  const char* typed;    // text() afterwards
};

const OverCase kOver[] = {
    {"IP: full octet moves, dot after two and one digits", kIp, "198.51.100.34", "", "17216.1.5", "172.16.1.5"},
    {"IP: a dot right after a full octet stays put", kIp, "198.51.100.34", "", "172.16.1.5", "172.16.1.5"},
    {"IP: space moves like the dot", kIp, "198.51.100.34", "", "10 1 2 3", "10.1.2.3"},
    {"IP: a one-digit octet over a three-digit one", kIp, "198.51.100.34", "", "10.0.7.9", "10.0.7.9"},
    {"IP: a field edited before does not swallow the next octet", kIp, "198.51.100.34", "51", "172.16.1.5",
     "172.16.1.5"},
    // The first key completes part 1, so the editor rewrites the "09" of
    // part 2 as "9" only once the focus is there: still all selected.
    {"IP: a field rewritten as the focus arrives", kIp, "17.09.100.34", "", ">216.1.5", "172.16.1.5"},
    {"gateway: full octets and dots", kGateway, "198.51.100.254", "", "172.16.1.254", "172.16.1.254"},
    {"gateway: one digit each", kGateway, "198.51.100.254", "", "10.0.0.1", "10.0.0.1"},
    {"mask: full octets over full octets", kMask, "255.255.0.0", "", "255255255.0", "255.255.255.0"},
    {"mask: dots after one digit", kMask, "255.255.255.0", "", "254.0.0.0", "254.0.0.0"},
    {"mask: a shorter mask over a longer one", kMask, "255.255.255.0", "", "255.255.0.0", "255.255.0.0"},
};

void PrintTo(const OverCase& c, std::ostream* os) { *os << c.name; }

class TypingOver : public testing::TestWithParam<OverCase> {};

TEST_P(TypingOver, GivesExactlyTheTypedAddress) {
  const OverCase& c = GetParam();
  Editor e(c.type);
  ASSERT_TRUE(e.Active());
  e.edit().setText(QString::fromLatin1(c.initial));
  ASSERT_EQ(e.edit().text(), QString::fromLatin1(c.initial));
  if (!c.earlier.empty()) {
    e.Focus(2);
    e.Type(c.earlier);
    ASSERT_EQ(e.edit().text(), QString::fromLatin1(c.initial)) << "the earlier edit changes nothing";
  }
  e.Focus(1);
  e.Type(c.keys);
  e.Leave();
  EXPECT_EQ(e.edit().text().toStdString(), c.typed);
}

INSTANTIATE_TEST_SUITE_P(Cases, TypingOver, testing::ValuesIn(kOver),
                         [](const testing::TestParamInfo<OverCase>& info) {
                           return CaseName(info.param.name) + "_" + std::to_string(info.index);
                         });

// The move itself: the next field has the focus with all of its text
// selected, also after the editor rewrote the field it came from.
TEST(IpEditMoves, TheNextFieldHasTheFocusWithAllItsTextSelected) {
  struct Case {
    const char* name;
    int type;
    const char* keys;  // typed after a click into part 1
    int part;          // the field that then has the focus
    const char* selected;
  } cases[] = {
      {"full octet", kIp, "172", 2, "51"},
      {"26 moves on", kIp, "26", 2, "51"},
      {"dot", kIp, "1.", 2, "51"},
      {"space", kGateway, "1 ", 2, "51"},
      {"corrected octet", kIp, "127", 2, "51"},
      {"mask octet", kMask, "254", 2, "51"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Editor e(c.type);
    ASSERT_TRUE(e.Active());
    e.edit().setText("198.51.100.34");
    e.Focus(1);
    e.Type(c.keys);
    EXPECT_EQ(e.FocusedPart(), c.part);
    EXPECT_EQ(e.edit().part(c.part)->selectedText(), QString::fromLatin1(c.selected));
  }
}

struct SetTextCase {
  int type;
  const char* in;
  const char* out;  // text() afterwards
};

TEST(IpEditText, SetTextFillsOrEmptiesAndCorrectsByType) {
  const SetTextCase cases[] = {
      {kIp, "10.0.0.1", "10.0.0.1"},
      {kIp, "192.168.1.300", "..."},
      {kIp, "abc", "..."},
      {kIp, "", "..."},
      {kIp, " 10.0.0.1", "..."},
      {kIp, "10.0.0", "..."},
      {kIp, "010.000.0.09", "10.0.0.09"},  // a full match; three-digit octets are rewritten
      {kIp, "127.0.0.1", "192.0.0.1"},
      {kIp, "10.0.0.255", "10.0.0.100"},
      {kGateway, "127.0.0.255", "192.0.0.255"},
      {kMask, "255.255.255.255", "255.255.255.0"},
      {kMask, "255.128.255.0", "255.128.0.0"},
      {kMask, "100.0.0.0", "255.0.0.0"},
      {kMask, "255.255.255.0", "255.255.255.0"},
  };
  for (const auto& c : cases) {
    MyIpAddrEdit edit;
    edit.setIpType(c.type);
    edit.part(1)->setText("9");  // something to replace
    edit.setText(QString::fromLatin1(c.in));
    EXPECT_EQ(edit.text().toStdString(), c.out) << "type " << c.type << " '" << c.in << "'";
  }
}

TEST(IpEditText, TextKeepsEmptyPlaces) {
  MyIpAddrEdit edit;
  edit.part(1)->setText("10");
  edit.part(3)->setText("0");
  edit.part(4)->setText("1");
  EXPECT_EQ(edit.text(), QStringLiteral("10..0.1"));
}

TEST(IpEditText, SignalsCarryTheWholeText) {
  MyIpAddrEdit edit;
  QStringList changed, edited;
  QObject::connect(&edit, &MyIpAddrEdit::textchanged, [&](const QString& t) { changed << t; });
  QObject::connect(&edit, &MyIpAddrEdit::textedited, [&](const QString& t) { edited << t; });
  edit.setText("10.1.2.3");
  ASSERT_FALSE(changed.isEmpty());
  EXPECT_EQ(changed.last(), QStringLiteral("10.1.2.3"));
  EXPECT_TRUE(edited.isEmpty()) << "the program's own setText is no user edit";
}

TEST(IpEditLayout, FixedSizeFieldsAndDots) {
  MyIpAddrEdit edit;
  edit.setGeometry(5, 430, 187, 40);
  EXPECT_EQ(edit.size(), QSize(290, 30));
  const QRect want[] = {{0, 0, 40, 30}, {48, 0, 40, 30}, {96, 0, 40, 30}, {146, 0, 40, 30}};
  for (int n = 1; n <= 4; ++n) {
    EXPECT_EQ(edit.part(n)->geometry(), want[n - 1]) << n;
    EXPECT_EQ(edit.part(n)->maxLength(), 3);
    EXPECT_TRUE(edit.part(n)->hasFrame());
  }
  EXPECT_EQ(edit.part(1)->next, edit.part(2));
  EXPECT_EQ(edit.part(3)->next, edit.part(4));
  EXPECT_EQ(edit.part(4)->next, nullptr);
  EXPECT_EQ(edit.ipType(), kIp);
}

}  // namespace
