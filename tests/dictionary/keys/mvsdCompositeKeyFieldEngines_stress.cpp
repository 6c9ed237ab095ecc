// Stress test of composite key field engines shared by many threads, as one
// index's engines serve every cursor of a table: builds and compares in
// every text form (code-page conversion, multi-byte cuts, locale
// collation, scratch keys from the engine's pool) give each thread the
// answers one thread gave alone, while other threads create engines through
// the registry; with the engine's allocator in the plain tree.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "dictionary/keys/mvsdCompositeKeyFieldEngines.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdTestSupport.h"
#include "foundation/types/mvllWideString.h"

using namespace mvtest;

namespace {

class CompositeKeyFieldEnginesStress : public DictionaryTest {};

using EnginePtr = std::unique_ptr<TmvCompositeKeyFieldEngine>;

TEST_F(CompositeKeyFieldEnginesStress, SharedEngines) {
  TTestTable t;
  TmvFieldDescriptor* shortJa = t.Field(u"ShortJa", mvtShortString, 20);
  shortJa->AddLocaleDescriptor()->SetLocale(0x411);
  TmvFieldDescriptor* nullJa = t.Field(u"NullJa", mvtNullString, 1200);
  nullJa->AddLocaleDescriptor()->SetLocale(0x411);
  TmvFieldDescriptor* wide = t.Field(u"Wide", mvtWideString, 20);
  wide->AddLocaleDescriptor()->SetLocale(0x409);

  TmvCompKeyDescriptor& key = t.Key({});
  TmvKeyFieldDescriptor* truncated = key.Add(0);
  truncated->SetOverrideLengthChars(4);  // cut in 932
  auto* converted = key.Add(1, &TmvExtTextKeyFieldDescriptor::StaticClass);
  converted->AddLocaleDescriptor()->SetLocale(0x409);  // 932 to 1252, a segment beyond the stack
  auto* ignoringCase = static_cast<TmvTextKeyFieldDescriptor*>(key.Add(2, &TmvTextKeyFieldDescriptor::StaticClass));
  ignoringCase->SetIgnoreCase(true);
  ignoringCase->SetAscend(false);
  std::vector<EnginePtr> engines;
  for (int i = 0; i < key.KeyFieldCount(); ++i)
    engines.emplace_back(TmvCompositeKeyFieldEngine::CreateEngine(key.KeyFields(i)));

  const std::u16string texts[] = {u"日本語", u"abc",  u"ABD",      u"ｱｲｳｴｵ", u"Zeta",
                                  u"日本",   u"",     u"abcdefgh", u"éa"};
  std::vector<std::vector<std::vector<uint8_t>>> fields(engines.size());
  for (size_t e = 0; e < engines.size(); ++e) {
    TmvFieldDescriptor* f = key.KeyFields(int32_t(e))->Field();
    for (const std::u16string& text : texts) {
      std::vector<uint8_t> bytes(size_t(f->Length()), 0);
      if (f->FieldType() == mvtWideString) {
        std::memcpy(bytes.data(), text.data(), 2 * text.size());
      } else {
        std::string s = mvWideStringToString(text, 932);
        if (f->FieldType() == mvtShortString) bytes[0] = uint8_t(s.size());
        std::memcpy(bytes.data() + (f->FieldType() == mvtShortString ? 1 : 0), s.data(), s.size());
      }
      fields[e].push_back(bytes);
    }
  }
  // One thread's answers first.
  auto answers = [&](size_t e) {
    std::vector<int> r;
    for (const auto& a : fields[e])
      for (const auto& b : fields[e]) r.push_back(engines[e]->CompareFieldDirect(a.data(), b.data()));
    return r;
  };
  std::vector<std::vector<int>> expected;
  for (size_t e = 0; e < engines.size(); ++e) expected.push_back(answers(e));

  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int th = 0; th < kThreads; ++th) {
    threads.emplace_back([&, th] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int n = 0; n < 60; ++n) {
        if (th % 4 == 3) {  // a new engine for a key field, through the registry
          EnginePtr made(TmvCompositeKeyFieldEngine::CreateEngine(key.KeyFields(n % key.KeyFieldCount())));
          if (made->KeyLength() != key.KeyFields(n % key.KeyFieldCount())->KeyLength()) failures.fetch_add(1);
          continue;
        }
        const size_t e = size_t(th + n) % engines.size();
        if (answers(e) != expected[e]) failures.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
