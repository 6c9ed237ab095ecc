// Tests of the storage start-up and shutdown order and its counting.
#include <gtest/gtest.h>

#include "foundation/sync/mvllTimeoutHooks.h"
#include "storage/files/mvsrPosixFiles.h"
#include "storage/mvsrUnits.h"

namespace {

bool cancelFlagHookInstalled() { return mvGetCancelFlagHook.load()() != nullptr; }

TEST(StorageUnits, OnlyTheLastStopUninstallsTheHooks) {
  ASSERT_FALSE(cancelFlagHookInstalled());
  mvStorageInit();
  mvStorageInit();
  EXPECT_TRUE(cancelFlagHookInstalled());
  mvStorageFini();
  EXPECT_TRUE(cancelFlagHookInstalled());
  mvStorageFini();
  EXPECT_FALSE(cancelFlagHookInstalled());
  mvStorageFini();  // an unmatched stop changes nothing
  EXPECT_FALSE(cancelFlagHookInstalled());
  mvStorageInit();  // and a second start after the last stop works as the first
  EXPECT_TRUE(cancelFlagHookInstalled());
  mvStorageFini();
  EXPECT_FALSE(cancelFlagHookInstalled());
}

TEST(StorageUnits, TheFileClassesAreSetUnlessSetBefore) {
  ASSERT_EQ(TableFileInfoClass.load(), nullptr);
  DefaultFileInfoClass = &TmvOverlappedWin32File::StaticClass;  // a class of the host's
  mvStorageInit();
  EXPECT_EQ(TableFileInfoClass.load(), &TmvOverlappedWin32File::StaticClass);
  EXPECT_EQ(DefaultFileInfoClass.load(), &TmvOverlappedWin32File::StaticClass);
  mvStorageFini();
  EXPECT_EQ(TableFileInfoClass.load(), nullptr);
  EXPECT_EQ(DefaultFileInfoClass.load(), &TmvOverlappedWin32File::StaticClass);  // not ours to clear
  DefaultFileInfoClass = nullptr;
}

}  // namespace
