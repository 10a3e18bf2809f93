// The manual page, --help, the README, the maintainer scripts and the
// CHANGELOG describe the same program: these tests catch one of them going
// stale when another changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "app/BrickfixApp.h"
#include "app/Version.h"

namespace {

const std::filesystem::path kSourceDir = BRICKFIX_SOURCE_DIR;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// The manual page as a reader sees its words: font changes dropped and the
// escapes for '-', '"' and '\' turned into the characters.
std::string ManualPageText() {
  std::string text = ReadFile(kSourceDir / "docs/brickfix.1.in");
  text = std::regex_replace(text, std::regex(R"(\\f[BIRP])"), "");
  ReplaceAll(text, "\\-", "-");
  ReplaceAll(text, "\\(dq", "\"");
  ReplaceAll(text, "\\e", "\\");
  return text;
}

std::set<std::string> Matches(const std::string& text, const std::string& pattern) {
  std::set<std::string> found;
  std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
       ++it)
    found.insert(it->str());
  return found;
}

// "--ui=tui|line|gui" stands for three options.
std::set<std::string> HelpOptions() {
  std::set<std::string> options;
  for (const std::string& word : Matches(HelpText(), R"(--?[a-z][a-z-]*(=[a-z|]+)?)")) {
    size_t equals = word.find('=');
    if (equals == std::string::npos) {
      options.insert(word);
      continue;
    }
    std::istringstream values(word.substr(equals + 1));
    for (std::string value; std::getline(values, value, '|');)
      options.insert(word.substr(0, equals + 1) + value);
  }
  return options;
}

// The value of `name=...` in a shell script.
std::string ShellVariable(const std::string& script, const std::string& name) {
  std::smatch match;
  if (!std::regex_search(script, match, std::regex("(^|\n)" + name + "=([^\n]*)"))) return "";
  return match[2];
}

TEST(DocsTest, EveryOptionInHelpIsInTheManualPage) {
  std::set<std::string> options = HelpOptions();
  for (const char* expected : {"--ui=tui", "--ui=line", "--ui=gui", "--help", "-h", "--version"})
    EXPECT_TRUE(options.count(expected)) << expected << " is missing from --help";
  std::string page = ManualPageText();
  for (const std::string& option : options)
    EXPECT_NE(page.find(option), std::string::npos) << option << " is not in the manual page";
}

TEST(DocsTest, EveryEnvironmentVariableAndCapabilityInHelpIsInTheManualPage) {
  std::set<std::string> names = Matches(HelpText(), R"(\b[A-Z][A-Z0-9]*_[A-Z0-9_]+\b)");
  EXPECT_TRUE(names.count("BRICKFIX_CLOUD_HOST"));
  EXPECT_TRUE(names.count("SSL_CERT_FILE"));
  std::set<std::string> caps = Matches(HelpText(), R"(\bcap_[a-z_]+)");
  EXPECT_EQ(caps.size(), 3u);
  names.insert(caps.begin(), caps.end());
  std::string page = ManualPageText();
  for (const std::string& name : names)
    EXPECT_NE(page.find(name), std::string::npos) << name << " is not in the manual page";
}

TEST(DocsTest, ManualPageHasTheSectionsPeopleLookFor) {
  std::string page = ManualPageText();
  for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FRONTENDS",
                              "ENVIRONMENT", "PERMISSIONS", "EXIT STATUS", "FILES", "SEE ALSO"})
    EXPECT_NE(page.find(std::string("\n.SH ") + section + "\n"), std::string::npos) << section;
  // The exit statuses that main() returns, each as a tagged paragraph.
  size_t exits = page.find(".SH EXIT STATUS");
  ASSERT_NE(exits, std::string::npos);
  std::string section = page.substr(exits, page.find("\n.SH ", exits + 1) - exits);
  for (const char* status : {"0", "1", "2"})
    EXPECT_NE(section.find(std::string(".TP\n.B ") + status + "\n"), std::string::npos) << status;
  EXPECT_NE(page.find("Rom/"), std::string::npos);
}

// postinst is the one place that names the group and the capabilities; the
// help, the manual page and the README must say the same.
TEST(DocsTest, GroupAndCapabilitiesMatchWhatPostinstGives) {
  std::string postinst = ReadFile(kSourceDir / "packaging/debian/postinst");
  std::string group = ShellVariable(postinst, "group");
  ASSERT_FALSE(group.empty());
  std::smatch setcap;
  ASSERT_TRUE(std::regex_search(postinst, setcap, std::regex(R"(setcap ([a-z_,]+)\+ep )")));
  std::string page = ManualPageText();
  EXPECT_NE(page.find("group\n.B " + group + "\n"), std::string::npos);
  EXPECT_NE(HelpText().find("the group " + group), std::string::npos);
  EXPECT_NE(page.find("setcap " + setcap[1].str() + "+ep"), std::string::npos);
  std::istringstream caps(setcap[1].str());
  for (std::string cap; std::getline(caps, cap, ',');)
    EXPECT_NE(HelpText().find(cap), std::string::npos) << cap;
}

// The network helper is where postinst puts the capabilities; the help, the
// manual page and the README name it.
TEST(DocsTest, TheHelperThatHoldsTheRightsIsNamedWherePostinstGivesThem) {
  std::string postinst = ReadFile(kSourceDir / "packaging/debian/postinst");
  std::string helper = ShellVariable(postinst, "helper");
  ASSERT_FALSE(helper.empty());
  EXPECT_NE(postinst.find("+ep \"$DPKG_ROOT$helper\""), std::string::npos);
  std::string name = std::filesystem::path(helper).filename();
  EXPECT_NE(HelpText().find(name), std::string::npos);
  EXPECT_NE(ManualPageText().find(helper), std::string::npos);
  std::filesystem::path readme = kSourceDir / "README.md";
  if (std::filesystem::exists(readme)) {
    std::string text = ReadFile(readme);
    EXPECT_NE(text.find("cap_net_admin,cap_net_raw,cap_net_bind_service+ep " + helper), std::string::npos);
    EXPECT_EQ(text.find("+ep /usr/bin/brickfix"), std::string::npos) << "the program has no capabilities";
  }
}

TEST(DocsTest, ReadmeNamesTheGroupThatMayRunTheProgram) {
  std::filesystem::path readme = kSourceDir / "README.md";
  if (!std::filesystem::exists(readme)) GTEST_SKIP() << "this tree has no README.md";
  std::string group = ShellVariable(ReadFile(kSourceDir / "packaging/debian/postinst"), "group");
  std::string text = ReadFile(readme);
  EXPECT_TRUE(std::regex_search(text, std::regex("group `?" + group + "\\b")))
      << "README.md does not name the group " << group;
  EXPECT_NE(text.find("cap_net_admin,cap_net_raw,cap_net_bind_service+ep"), std::string::npos);
}

TEST(DocsTest, NewestChangelogEntryIsThisVersion) {
  std::string changelog = ReadFile(kSourceDir / "CHANGELOG.md");
  std::smatch entry;
  ASSERT_TRUE(std::regex_search(changelog, entry,
                                std::regex(R"(\n## \[([^\]]+)\] - (\d{4}-\d{2}-\d{2})\n)")));
  EXPECT_EQ(entry[1].str(), BRICKFIX_VERSION);
  EXPECT_EQ(VersionText(), std::string("brickfix ") + BRICKFIX_VERSION + "\n");
}

}  // namespace
