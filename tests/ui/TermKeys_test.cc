#include "ui/TermKeys.h"

#define NCURSES_NOMACROS
#include <ncurses.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Case {
  const char* name;
  std::vector<int> codes;  // what curses delivers, first code first
  KeyAction action;
};

// Every case must consume all of its codes: a sequence that leaves bytes
// behind would type them into the answer box.
TEST(TermKeysTest, KeysAndSequencesMapToActionsAndAreConsumedWhole) {
  ExtraKeys extra;
  extra.sideLeft[0] = 600;
  extra.sideRight[1] = 601;
  const Case cases[] = {
      {"Escape alone", {27}, KeyAction::kEscape},
      {"Escape twice", {27, 27}, KeyAction::kEscape},
      {"Alt+a", {27, 'a'}, KeyAction::kAbout},
      {"Alt+A", {27, 'A'}, KeyAction::kAbout},
      {"F1", {KEY_F(1)}, KeyAction::kAbout},
      {"F1 as SS3", {27, 'O', 'P'}, KeyAction::kAbout},
      {"F1 as CSI", {27, '[', '1', '1', '~'}, KeyAction::kAbout},
      {"Alt+Left unknown to terminfo", {27, '[', '1', ';', '3', 'D'}, KeyAction::kSideLeft},
      {"Shift+Right unknown to terminfo", {27, '[', '1', ';', '2', 'C'}, KeyAction::kSideRight},
      {"Shift+Left", {KEY_SLEFT}, KeyAction::kSideLeft},
      {"extended left", {600}, KeyAction::kSideLeft},
      {"extended right", {601}, KeyAction::kSideRight},
      {"PgUp as CSI", {27, '[', '5', '~'}, KeyAction::kPageUp},
      {"PgDn", {KEY_NPAGE}, KeyAction::kPageDown},
      {"Home", {KEY_HOME}, KeyAction::kLogHome},
      {"End as SS3", {27, 'O', 'F'}, KeyAction::kLogEnd},
      {"keypad Enter as SS3", {27, 'O', 'M'}, KeyAction::kEnter},
      {"unknown CSI", {27, '[', '2', '0', '0', '~'}, KeyAction::kNone},
      {"cut-off CSI", {27, '[', '1'}, KeyAction::kNone},
      {"Alt+x", {27, 'x'}, KeyAction::kNone},
      {"Return", {'\r'}, KeyAction::kEnter},
      {"Line feed", {'\n'}, KeyAction::kEnter},
      {"keypad Enter", {KEY_ENTER}, KeyAction::kEnter},
      {"Ctrl-C", {3}, KeyAction::kInterrupt},
      {"Ctrl-Z does nothing", {26}, KeyAction::kNone},
      {"bell does nothing", {7}, KeyAction::kNone},
      {"Backspace", {KEY_BACKSPACE}, KeyAction::kBackspace},
      {"DEL", {127}, KeyAction::kBackspace},
      {"Ctrl-H", {8}, KeyAction::kBackspace},
      {"Delete", {KEY_DC}, KeyAction::kDelete},
      {"Ctrl-U", {21}, KeyAction::kBoxClear},
      {"mouse", {KEY_MOUSE}, KeyAction::kMouse},
      {"resize", {KEY_RESIZE}, KeyAction::kResize},
      {"unknown curses key", {KEY_F(12)}, KeyAction::kNone},
  };
  for (const Case& c : cases) {
    std::size_t next = 1;
    auto fetch = [&] { return next < c.codes.size() ? c.codes[next++] : -1; };
    KeyEvent event = TranslateKey(c.codes[0], fetch, extra);
    EXPECT_EQ(event.action, c.action) << c.name;
    EXPECT_EQ(next, c.codes.size()) << c.name << ": codes left over";
  }
}

TEST(TermKeysTest, PrintableBytesAndUtf8BytesAreText) {
  for (int code : {0x20, 0x37, 0x7E, 0x80, 0xE4, 0xFF}) {
    KeyEvent event = TranslateKey(code, [] { return -1; }, ExtraKeys{});
    EXPECT_EQ(event.action, KeyAction::kText) << code;
    EXPECT_EQ(event.byte, code);
  }
}

}  // namespace
