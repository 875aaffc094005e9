#include "platform/Clipboard.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvado {

namespace {

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class FileClipboardTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string tmpl = "/tmp/kelvado-clipboard-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    file_ = dir_ + "/board";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
  std::string file_;
};

}  // namespace

TEST(Clipboard, FormatsContentAndWatchers) {
  TMemoryClipboard board;
  const TClipFormat kvd = board.RegisterFormat("CF_KELVADO");
  EXPECT_GE(kvd, 0xC000u);
  EXPECT_EQ(board.RegisterFormat("cf_kelvado"), kvd);
  EXPECT_NE(board.RegisterFormat("CF_OTHER"), kvd);
  EXPECT_EQ(board.RegisterFormat("CF_TEXT"), cfText);
  EXPECT_EQ(board.FormatName(kvd), "CF_KELVADO");
  EXPECT_EQ(board.FormatName(4711), "");
  EXPECT_THROW(board.RegisterFormat(""), std::invalid_argument);
  EXPECT_THROW(board.SetData(4711, "x"), std::invalid_argument);

  std::vector<std::string> calls;
  const int first = board.AddWatcher([&] { calls.push_back("first"); });
  board.AddWatcher([&] {
    calls.push_back("second");
    // A watcher that changes the clipboard is not called again from inside its own call.
    if (board.GetData(cfText) == std::optional<std::string>("Hallo")) board.SetData(cfText, "Welt");
  });
  const uint64_t seq = board.SequenceNumber();
  board.SetContent({{cfText, "Hallo"}, {kvd, std::string("<doc/>\0", 7)}});
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "second", "first", "second"}));
  EXPECT_GT(board.SequenceNumber(), seq);
  // Putting something on the clipboard replaces all it held.
  EXPECT_EQ(board.GetData(cfText), std::optional<std::string>("Welt"));
  EXPECT_FALSE(board.HasFormat(kvd));
  board.SetContent({{kvd, std::string("<doc/>\0", 7)}});
  EXPECT_EQ(board.GetData(kvd), std::optional<std::string>(std::string("<doc/>\0", 7)));
  EXPECT_EQ(board.Formats(), std::vector<TClipFormat>{kvd});

  calls.clear();
  board.RemoveWatcher(first);
  board.Poll();  // nothing changed
  EXPECT_TRUE(calls.empty());
  board.Clear();
  EXPECT_EQ(calls, std::vector<std::string>{"second"});
  EXPECT_TRUE(board.Formats().empty());
}

TEST_F(FileClipboardTest, TwoClipboardsOnOneFileSeeEachOther) {
  TFileClipboard a(file_), b(file_);
  EXPECT_FALSE(b.HasFormat(cfText));  // no file yet: nothing on it
  EXPECT_EQ(b.LastError(), "");
  int seenByB = 0;
  b.AddWatcher([&] { ++seenByB; });
  b.Poll();
  const int start = seenByB;

  const TClipFormat kvd = a.RegisterFormat("CF_KELVADO");
  const std::string payload("<?xml?>\0\n\r\xff", 11);
  a.SetContent({{kvd, payload}, {cfText, "Hallo"}});
  // Only a look at the file tells b; each change is told once.
  EXPECT_EQ(seenByB, start);
  const uint64_t seq = b.SequenceNumber();
  b.Poll();
  EXPECT_EQ(seenByB, start + 1);
  b.Poll();
  EXPECT_EQ(seenByB, start + 1);
  EXPECT_EQ(b.SequenceNumber(), seq);
  EXPECT_EQ(b.GetData(b.RegisterFormat("cf_kelvado")), std::optional<std::string>(payload));
  EXPECT_EQ(b.GetData(cfText), std::optional<std::string>("Hallo"));
  // Formats b never registered are known by their names.
  a.SetData(a.RegisterFormat("CF_PRIVATE"), "p");
  EXPECT_EQ(b.FormatName(b.Formats().at(0)), "CF_PRIVATE");
  b.SetData(cfText, "von b");
  EXPECT_EQ(a.GetData(cfText), std::optional<std::string>("von b"));
  EXPECT_NE(a.SequenceNumber(), 0u);
  // Written by replacing the file: nothing else is left in its folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 1);
}

TEST_F(FileClipboardTest, ADamagedFileHoldsNothingAndAFailedWriteChangesNothing) {
  TFileClipboard board(file_);
  board.SetData(cfText, "Hallo");
  const std::string good = ReadFile(file_);
  for (const std::string& bad : {std::string("garbage"), good.substr(0, good.size() - 3),
                                 good + "CF_TEXT\n99\nkurz\n", good + "CF_TEXT\n5\nHallo\n"}) {
    std::ofstream(file_, std::ios::binary | std::ios::trunc) << bad;
    EXPECT_FALSE(board.HasFormat(cfText));
    EXPECT_NE(board.LastError().find("The clipboard file \"" + file_ + "\" "), std::string::npos) << board.LastError();
  }
  std::ofstream(file_, std::ios::binary | std::ios::trunc) << good;
  EXPECT_TRUE(board.HasFormat(cfText));
  EXPECT_EQ(board.LastError(), "");

  TFileClipboard nowhere(dir_ + "/missing/board");
  EXPECT_THROW(nowhere.SetData(cfText, "x"), std::runtime_error);
  EXPECT_FALSE(nowhere.HasFormat(cfText));
}

TEST_F(FileClipboardTest, TheProgramsClipboardIsChosenByTheEnvironment) {
  SetClipboard(nullptr);
  ::setenv("KELVADO_CLIPBOARD_FILE", file_.c_str(), 1);
  const uint64_t generation = ClipboardGeneration();
  Clipboard().SetData(cfText, "geteilt");
  EXPECT_EQ(TFileClipboard(file_).GetData(cfText), std::optional<std::string>("geteilt"));
  ::unsetenv("KELVADO_CLIPBOARD_FILE");
  SetClipboard(nullptr);
  EXPECT_GT(ClipboardGeneration(), generation);
  EXPECT_FALSE(Clipboard().HasFormat(cfText));  // in memory again
  SetClipboard(nullptr);
}

}  // namespace kelvado
