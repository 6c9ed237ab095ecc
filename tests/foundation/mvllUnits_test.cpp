// Tests of the foundation's start and stop as a program meets them: started
// and stopped twice in one process, with work in between and memory freed
// after the last stop. Each runs in a fresh process (a threadsafe death
// test), where nothing else has started the engine before.
#include "foundation/mvllUnits.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "foundation/errors/mvllExceptionData.h"
#include "foundation/errors/mvllExceptions.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllStateComponent.h"
#include "foundation/types/mvsdNativeVariantConverter.h"
#include "platform/Numeric.h"

namespace {

// A little of everything that keeps state across calls: items and large
// blocks, the format settings of the thread's locale, exception data, a
// state component.
void UseTheFoundation() {
  mvFreeMem(mvGetMemPtr(100));
  mvFreeMem(mvGetMemPtr(size_t(1) << 20));
  uint8_t native[8];
  mvVariantToNative(mvtDouble, 0, 0, 0, Variant(String(u"12.5")), native, sizeof native);
  if (LoadLE<double>(native) != 12.5) std::exit(2);
  auto* component = new TmvStateComponent(nullptr);
  component->Open();
  mvConvertException(EmvBaseException(10024, String(u"gone")), nullptr, component);
  const EmvBaseException back(10024);
  if (!mvExceptionDataContainerOf(back.GetExceptionData())) std::exit(3);
  delete component;
}

}  // namespace

TEST(FoundationUnits, StartStopStartWithWorkBetween) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        mvFoundationInit();
        UseTheFoundation();
        mvFoundationFini();
        mvFoundationInit();
        UseTheFoundation();
        mvFoundationFini();
        // After the last stop the memory manager starts again on first use.
        mvFreeMem(mvGetMemPtr(100));
        delete new TmvObject;
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// Memory still held at the last stop keeps the manager (and is reported):
// freeing it afterwards, or starting again, finds it intact.
TEST(FoundationUnits, MemoryHeldAtTheLastStopCanStillBeFreed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        mvFoundationInit();
        char* held = static_cast<char*>(mvGetMemPtr(100));
        held[99] = 7;
        auto* object = new TmvObject;
        mvFoundationFini();
        mvFoundationInit();
        if (held[99] != 7) std::exit(2);
        mvFoundationFini();
        mvFreeMem(held);
        delete object;
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
