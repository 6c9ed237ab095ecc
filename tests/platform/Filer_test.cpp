// Tests of the platform's value-stream writer and reader that need no engine
// stream: text that UTF-8 cannot carry.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/Classes.h"

namespace {

// A stream over a byte vector that it owns.
class TBytesStream : public TStream {
 public:
  int32_t Read(void* buffer, int32_t count) override {
    const size_t n = std::min<size_t>(size_t(count), bytes.size() - std::min(pos, bytes.size()));
    std::copy_n(bytes.begin() + int64_t(pos), n, static_cast<uint8_t*>(buffer));
    pos += n;
    return int32_t(n);
  }
  int32_t Write(const void* buffer, int32_t count) override {
    if (pos + size_t(count) > bytes.size()) bytes.resize(pos + size_t(count));
    std::copy_n(static_cast<const uint8_t*>(buffer), count, bytes.begin() + int64_t(pos));
    pos += size_t(count);
    return count;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? int64_t(pos) : int64_t(bytes.size());
    pos = size_t(base + offset);
    return int64_t(pos);
  }
  std::vector<uint8_t> bytes;
  size_t pos = 0;
};

}  // namespace

// Text with an unpaired surrogate has no UTF-8 form: it is written as UTF-16
// code units and reads back unchanged; proper pairs still go as UTF-8.
TEST(ValueStream, TextWithALoneSurrogateRoundTrips) {
  const String texts[] = {String(u"a") + char16_t(0xD800) + u"b", String(1, char16_t(0xDC00)),
                          String(1, char16_t(0xDC00)) + char16_t(0xD800), u"\U0001F600\U0001F600x"};
  for (const String& text : texts) {
    TBytesStream stream;
    {
      TWriter w(stream);
      w.WriteString(text);
    }
    const bool paired = text == u"\U0001F600\U0001F600x";
    EXPECT_EQ(stream.bytes.at(0), paired ? 0x14 : 0x12) << UTF8Encode(text);  // vaUTF8String : vaWString
    stream.pos = 0;
    TReader r(stream);
    EXPECT_EQ(r.ReadString(), text);
  }
}
