#include "ui/FolderBrowser.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

namespace kelvado {
namespace {

TEST(FolderBrowser, PassesItsSettingsAndKeepsTheChoice) {
  TFolderDialogRequest seen;
  ScopedFolderDialog dialog([&](const TFolderDialogRequest& r) -> std::optional<std::string> {
    seen = r;
    return "/data/projects";
  });
  TFolderBrowser browser(42, "Pick", "/data", true, false);
  EXPECT_EQ(browser.GetSelectedFolder(), "");  // nothing shown yet
  ASSERT_TRUE(browser.Execute());
  EXPECT_EQ(browser.GetSelectedFolder(), "/data/projects");
  EXPECT_EQ(seen.OwnerHandle, 42);
  EXPECT_EQ(seen.Title, "Pick");
  EXPECT_EQ(seen.InitialFolder, "/data");
  EXPECT_TRUE(seen.IncludeFiles);
  EXPECT_FALSE(seen.NewDialogStyle);
}

TEST(FolderBrowser, CancelOrFailureLeavesTheSelectionUnchanged) {
  int step = 0;
  ScopedFolderDialog dialog([&](const TFolderDialogRequest&) -> std::optional<std::string> {
    switch (step++) {
      case 0: return "/first";
      case 1: return std::nullopt;  // cancelled
      default: throw std::runtime_error("dialog broke");
    }
  });
  TFolderBrowser browser(0, "Pick", "", false, true);
  ASSERT_TRUE(browser.Execute());
  EXPECT_FALSE(browser.Execute());
  EXPECT_EQ(browser.GetSelectedFolder(), "/first");
  // A broken dialog is no cancel: the caller hears why.
  EXPECT_THROW(browser.Execute(), std::runtime_error);
  EXPECT_EQ(browser.GetSelectedFolder(), "/first");
}

TEST(FolderBrowser, WithoutADialogTheAnswerIsCancel) {
  TFolderBrowser browser(0, "Pick", "/data", false, true);
  EXPECT_FALSE(browser.Execute());
  EXPECT_EQ(browser.GetSelectedFolder(), "");
  {
    ScopedFolderDialog dialog([](const TFolderDialogRequest&) -> std::optional<std::string> { return "/x"; });
    EXPECT_TRUE(browser.Execute());
  }
  // The scoped dialog is gone again.
  EXPECT_FALSE(browser.Execute());
  EXPECT_EQ(browser.GetSelectedFolder(), "/x");
}

}  // namespace
}  // namespace kelvado
