// Storage encryption: the engine registry and "mv1xDefault". See
// mvseEncryptionEngines.h.
#include "storage/encryption/mvseEncryptionEngines.h"

#include <algorithm>
#include <cstring>

#include "foundation/errors/mvllErrors.h"
#include "foundation/errors/mvllExceptions.h"
#include "platform/TextServices.h"
#include "storage/mvsrLog.h"

namespace {

// ---------------------------------------------------------------------------
// Registry

struct TRegistered {
  String Name;
  std::vector<std::pair<int32_t, const TmvEncryptionEngineClassRef*>> Classes;  // by priority
};

struct TRegistry {
  std::mutex Lock;
  std::vector<TRegistered> Sides[2];  // client, server; sorted by name without case
};

TRegistry& registry() {
  static TRegistry r;
  return r;
}

// The class serving aName on a side; nil when none. Lock held.
const TmvEncryptionEngineClassRef* findClass(TRegistry& aRegistry, const String& aName, bool aForServer) {
  for (const TRegistered& r : aRegistry.Sides[aForServer ? 1 : 0])
    if (AnsiCompareText(r.Name, aName) == 0 && !r.Classes.empty()) return r.Classes.back().second;
  return nullptr;
}

int32_t createByName(const String& aName, const TmvUnicodeStrings& aPasswords, uint8_t* aHeader, bool aCreating,
                     bool aForServer, TmvBaseEncryptionEngine*& aEngine) {
  aEngine = nullptr;
  const TmvEncryptionEngineClassRef* found;
  {
    TRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.Lock);
    found = findClass(r, aName, aForServer);
  }
  if (!found)
    return EmvBaseException::mvSetMessage(MVERR_UNSUPPORTEDSUBENGINE, u"Unknown encryption engine: \"%s\"", {aName});
  return found->DoCreateEngine(aPasswords, aHeader, aCreating, aForServer, aEngine);
}

bool spaceByName(const String& aName, bool aForServer, TmvBlockSize, TmvEncryptionEngineSpace& aSpace) {
  TRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.Lock);
  const TmvEncryptionEngineClassRef* found = findClass(r, aName, aForServer);
  if (!found) return false;
  aSpace.PerBlock = found->ReservedSpacePerBlock;
  aSpace.HeaderSpace = found->ReservedHeaderSpace + found->ChecksumSize;
  return true;
}

// ---------------------------------------------------------------------------
// Default keys: tables created without a password are encrypted with the
// key of their side.
constexpr char kUserDefaultKey[] = "Qm7#vT2pL9xR4wZ8cK1nB6yH3jF5dS0gA2eU7iO4tP9rM1qW8zX3vC6bN5hJ2kL7";
constexpr char kServerDefaultKey[] = "s8Yd2Kp5Lq9Wz3Xr7Tn1Vb4Mh6Jc0Fg8Ae2Ru5Io9Py3Ts7Ql1Wk4Zx6Cv0Bn8Mj";
static_assert(sizeof kUserDefaultKey == 65 && sizeof kServerDefaultKey == 65);

constexpr char16_t kCorrupt[] = u"Corrupt file - other than header.";
constexpr uint32_t kReserved = 16;

std::string ansi(const String& aText) { return StringToSystemAnsi(aText); }

std::string saltedKey(const uint8_t* aHeader, const std::string& aKey) {
  return std::string(reinterpret_cast<const char*>(aHeader), 16) + aKey;
}

// The two sides' classes.
class TSideEngine : public TmvBlowfishRC4EncryptionEngine {
 public:
  explicit TSideEngine(bool aForServer) : TmvBlowfishRC4EncryptionEngine(aForServer) {}
};

int32_t createUser(const TmvUnicodeStrings& aPasswords, uint8_t* aHeader, bool aCreating, bool,
                   TmvBaseEncryptionEngine*& aEngine) {
  return TmvBlowfishRC4EncryptionEngine::Create(aPasswords, aHeader, aCreating, false, aEngine);
}
int32_t createServer(const TmvUnicodeStrings& aPasswords, uint8_t* aHeader, bool aCreating, bool,
                     TmvBaseEncryptionEngine*& aEngine) {
  return TmvBlowfishRC4EncryptionEngine::Create(aPasswords, aHeader, aCreating, true, aEngine);
}

}  // namespace

constinit const TmvEncryptionEngineClassRef mvUserBlowfishRC4EncryptionEngine{
    {u"TmvUserBlowfishRC4EncryptionEngine", nullptr}, &createUser, kReserved, 48, 0};
constinit const TmvEncryptionEngineClassRef mvServerBlowfishRC4EncryptionEngine{
    {u"TmvServerBlowfishRC4EncryptionEngine", nullptr}, &createServer, kReserved, 48, 0};

void mvRegisterEncryptionEngine(const TmvEncryptionEngineClassRef& aClass, const String& aName, bool aForServer,
                                int32_t aPriority) {
  TRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.Lock);
  std::vector<TRegistered>& side = r.Sides[aForServer ? 1 : 0];
  auto at = std::lower_bound(side.begin(), side.end(), aName,
                             [](const TRegistered& e, const String& n) { return AnsiCompareText(e.Name, n) < 0; });
  if (at == side.end() || AnsiCompareText(at->Name, aName) != 0) at = side.insert(at, TRegistered{aName, {}});
  auto& classes = at->Classes;
  for (const auto& [priority, registered] : classes)
    if (priority == aPriority)
      throw EmvBaseException(MVERR_INVALIDPARAM, u"Duplicate encryption engine \"%s\" of priority %d",
                             {aName, aPriority});
  classes.emplace_back(aPriority, &aClass);
  std::stable_sort(classes.begin(), classes.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
}

void mvUnregisterEncryptionEngine(const TmvEncryptionEngineClassRef& aClass) {
  TRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.Lock);
  for (auto& side : r.Sides) {
    for (TRegistered& e : side) std::erase_if(e.Classes, [&](const auto& c) { return c.second == &aClass; });
    std::erase_if(side, [](const TRegistered& e) { return e.Classes.empty(); });
  }
}

bool mvHasEncryptionEngine(const String& aName, bool aForServer) {
  TRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.Lock);
  return findClass(r, aName, aForServer) != nullptr;
}

void mvGetRegisteredEncryptionEngines(TmvUnicodeStrings& aList, bool aForServer) {
  TRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.Lock);
  aList.assign(1, String());
  for (const TRegistered& e : r.Sides[aForServer ? 1 : 0]) aList.push_back(e.Name);
}

// ---------------------------------------------------------------------------
// The engine

std::string TmvBlowfishRC4EncryptionEngine::DefaultKey(bool aForServer) {
  return aForServer ? kServerDefaultKey : kUserDefaultKey;
}

int32_t TmvBlowfishRC4EncryptionEngine::Create(const TmvUnicodeStrings& aPasswords, uint8_t* aHeader,
                                               bool aCreating, bool aForServer, TmvBaseEncryptionEngine*& aEngine) {
  aEngine = nullptr;
  std::unique_ptr<TmvBlowfishRC4EncryptionEngine> engine(new TSideEngine(aForServer));
  if (!aHeader) {
    engine->beeBlowfishKey = DefaultKey(aForServer);
  } else {
    if (aCreating) {
      if (aPasswords.size() > 1)
        return EmvBaseException::mvSetMessage(MVERR_INVALIDPARAM,
                                              u"More than one key specified when creating new table", {});
      std::string key = DefaultKey(aForServer);
      if (aPasswords.size() == 1) {
        key = ansi(aPasswords[0]);
        engine->beeUsedKey = aPasswords[0];
      }
      mvRandomBytes(engine->beeDerivedKey, 16);
      engine->WriteHeader(aHeader, key);
    } else {
      bool opened = false;
      for (const String& password : aPasswords)
        if (engine->VerifyKey(aHeader, ansi(password))) {
          engine->beeUsedKey = password;
          opened = true;
          break;
        }
      if (!opened && !engine->VerifyKey(aHeader, DefaultKey(aForServer)))
        return EmvBaseException::mvSetMessage(MVERR_INVALIDPASSWORD, u"Invalid password given.", {});
    }
    engine->beeBlowfishKey.assign(reinterpret_cast<const char*>(engine->beeDerivedKey), 16);
  }
  aEngine = engine.release();
  return 0;
}

void TmvBlowfishRC4EncryptionEngine::WriteHeader(uint8_t* aHeader, const std::string& aKey) {
  mvRandomBytes(aHeader, 16);  // the salt
  std::memcpy(aHeader + 24, beeDerivedKey, 16);
  TmvBlowFishRC4 cipher(saltedKey(aHeader, aKey));
  cipher.EncodeTransport(aHeader + 16, aHeader + 24, 16, aHeader + 40);
}

bool TmvBlowfishRC4EncryptionEngine::VerifyKey(const uint8_t* aHeader, const std::string& aKey) {
  uint8_t key[16];
  std::memcpy(key, aHeader + 24, 16);
  TmvBlowFishRC4 cipher(saltedKey(aHeader, aKey));
  if (!cipher.DecodeTransport(aHeader + 16, key, 16, aHeader + 40)) return false;
  std::memcpy(beeDerivedKey, key, 16);
  return true;
}

int32_t TmvBlowfishRC4EncryptionEngine::AuthenticatePassword(const TmvUnicodeStrings& aPasswords) {
  if (beeUsedKey.empty() || std::find(aPasswords.begin(), aPasswords.end(), beeUsedKey) != aPasswords.end())
    return 0;
  return EmvBaseException::mvSetMessage(MVERR_INVALIDPASSWORD, u"Invalid password given.", {});
}

void TmvBlowfishRC4EncryptionEngine::ChangePassword(uint8_t* aHeader, const String& aNewPassword) {
  beeUsedKey = aNewPassword;
  WriteHeader(aHeader, aNewPassword.empty() ? DefaultKey(beeForServer) : ansi(aNewPassword));
}

std::unique_ptr<TmvBlowFishRC4> TmvBlowfishRC4EncryptionEngine::TakeCipher() {
  {
    std::lock_guard<std::mutex> guard(beePoolLock);
    if (!beeBlowfishCache.empty()) {
      std::unique_ptr<TmvBlowFishRC4> cipher = std::move(beeBlowfishCache.back());
      beeBlowfishCache.pop_back();
      return cipher;
    }
  }
  return std::make_unique<TmvBlowFishRC4>(beeBlowfishKey);
}

void TmvBlowfishRC4EncryptionEngine::GiveBack(std::unique_ptr<TmvBlowFishRC4> aCipher) {
  std::lock_guard<std::mutex> guard(beePoolLock);
  beeBlowfishCache.push_back(std::move(aCipher));
}

void TmvBlowfishRC4EncryptionEngine::CodeBlock(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen,
                                               uint64_t) {
  MV_ASSERT(aBlockLen > kReserved && (aBlockLen - kReserved) % 8 == 0);
  auto* out = static_cast<uint8_t*>(aBlockOut);
  std::memcpy(out, aBlockIn, aBlockLen - kReserved);
  std::unique_ptr<TmvBlowFishRC4> cipher = TakeCipher();
  cipher->EncodeTransport(out + aBlockLen - 16, out, aBlockLen - kReserved, out + aBlockLen - 8);
  GiveBack(std::move(cipher));
}

void TmvBlowfishRC4EncryptionEngine::DecodeBlock(void* aBlock, uint32_t aBlockLen, uint64_t) {
  MV_ASSERT(aBlockLen > kReserved && (aBlockLen - kReserved) % 8 == 0);
  auto* block = static_cast<uint8_t*>(aBlock);
  std::unique_ptr<TmvBlowFishRC4> cipher = TakeCipher();
  const bool verified = cipher->DecodeTransport(block + aBlockLen - 16, block, aBlockLen - kReserved,
                                                block + aBlockLen - 8);
  GiveBack(std::move(cipher));
  if (!verified) throw EmvBaseException(MVERR_FILECORRUPT, String(kCorrupt));
}

// ---------------------------------------------------------------------------
// Unit

void mvseEncryptionEnginesInit() {
  mvRegisterEncryptionEngine(mvUserBlowfishRC4EncryptionEngine, u"mv1xDefault", false, 0);
  mvRegisterEncryptionEngine(mvServerBlowfishRC4EncryptionEngine, u"mv1xDefault", true, 0);
  mvEncryptionEngineCreateHook.store(&createByName, std::memory_order_release);
  mvEncryptionEngineSpaceHook.store(&spaceByName, std::memory_order_release);
}

void mvseEncryptionEnginesFini() {
  TmvEncryptionEngineCreateProc create = &createByName;
  mvEncryptionEngineCreateHook.compare_exchange_strong(create, nullptr);
  TmvEncryptionEngineSpaceProc space = &spaceByName;
  mvEncryptionEngineSpaceHook.compare_exchange_strong(space, nullptr);
  mvUnregisterEncryptionEngine(mvUserBlowfishRC4EncryptionEngine);
  mvUnregisterEncryptionEngine(mvServerBlowfishRC4EncryptionEngine);
}
