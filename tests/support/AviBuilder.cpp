#include "tests/support/AviBuilder.h"

#include <algorithm>

namespace testsupport {

Bytes Le16(uint16_t value) { return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)}; }

Bytes Le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

void PutLe32(Bytes& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLe32(const Bytes& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes.at(at + i)) << (8 * i);
  return value;
}

void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

static Bytes Code(const std::string& code) {
  Bytes b(4, ' ');
  for (size_t i = 0; i < 4 && i < code.size(); ++i) b[i] = static_cast<uint8_t>(code[i]);
  return b;
}

Bytes Chunk(const std::string& code, const Bytes& data) {
  Bytes b = Code(code);
  Append(b, Le32(static_cast<uint32_t>(data.size())));
  Append(b, data);
  if (data.size() % 2) b.push_back(0);
  return b;
}

Bytes List(const std::string& kind, const std::string& type, const std::vector<Bytes>& children) {
  Bytes body = Code(type);
  for (const Bytes& child : children) Append(body, child);
  Bytes b = Code(kind);
  Append(b, Le32(static_cast<uint32_t>(body.size())));
  Append(b, body);
  return b;
}

Bytes BitmapInfo(int32_t width, int32_t height, const std::string& compression, uint16_t bitCount) {
  Bytes b = Le32(40);
  Append(b, Le32(static_cast<uint32_t>(width)));
  Append(b, Le32(static_cast<uint32_t>(height)));
  Append(b, Le16(1));
  Append(b, Le16(bitCount));
  Append(b, compression.empty() ? Le32(0) : Code(compression));
  for (int i = 0; i < 5; ++i) Append(b, Le32(0));
  return b;
}

Bytes WaveFormat(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t blockAlign, uint16_t bits) {
  Bytes b = Le16(tag);
  Append(b, Le16(channels));
  Append(b, Le32(rate));
  Append(b, Le32(rate * blockAlign));
  Append(b, Le16(blockAlign));
  Append(b, Le16(bits));
  Append(b, Le16(0));
  return b;
}

static Bytes StreamList(const StreamSpec& s) {
  Bytes h = Code(s.type);
  Append(h, s.handler.empty() ? Le32(0) : Code(s.handler));
  Append(h, Le32(0));  // dwFlags
  Append(h, Le32(0));  // wPriority, wLanguage
  Append(h, Le32(0));  // dwInitialFrames
  Append(h, Le32(s.scale));
  Append(h, Le32(s.rate));
  Append(h, Le32(s.start));
  Append(h, Le32(s.length));
  Append(h, Le32(0));           // dwSuggestedBufferSize
  Append(h, Le32(0xFFFFFFFF));  // dwQuality
  Append(h, Le32(s.sampleSize));
  for (int16_t v : s.frame) Append(h, Le16(static_cast<uint16_t>(v)));
  std::vector<Bytes> children = {Chunk("strh", h), Chunk("strf", s.format)};
  if (!s.name.empty()) {
    Bytes name(s.name.begin(), s.name.end());
    name.push_back(0);
    children.push_back(Chunk("strn", name));
  }
  return List("LIST", "strl", children);
}

Bytes BuildAvi(const FileSpec& spec) {
  Bytes avih = Le32(40000);
  for (int i = 0; i < 5; ++i) Append(avih, Le32(0));
  uint32_t streams = spec.mainHeaderStreams < 0 ? static_cast<uint32_t>(spec.streams.size())
                                                : static_cast<uint32_t>(spec.mainHeaderStreams);
  Append(avih, Le32(streams));
  for (int i = 0; i < 7; ++i) Append(avih, Le32(0));
  std::vector<Bytes> header = {Chunk("avih", avih)};
  for (const StreamSpec& s : spec.streams) header.push_back(StreamList(s));
  Bytes hdrl = List("LIST", "hdrl", header);

  // 'movi' body and the idx1 entries, offsets counted from the 'movi' code.
  Bytes movi = Code("movi");
  Bytes idx1;
  for (const ChunkSpec& c : spec.chunks) {
    std::string code = {static_cast<char>('0' + c.stream / 10), static_cast<char>('0' + c.stream % 10), c.kind[0],
                        c.kind[1]};
    Bytes chunk = Chunk(code, c.data);
    uint32_t at = static_cast<uint32_t>(movi.size()) + (spec.recordLists ? 12 : 0);
    if (spec.recordLists) chunk = List("LIST", "rec ", {chunk});
    Append(movi, chunk);
    Append(idx1, Code(code));
    Append(idx1, Le32(c.key ? 0x10 : 0));
    Append(idx1, Le32(at));
    Append(idx1, Le32(static_cast<uint32_t>(c.data.size())));
  }
  Bytes moviList = Code("LIST");
  Append(moviList, Le32(static_cast<uint32_t>(movi.size())));
  Append(moviList, movi);

  Bytes body = Code("AVI ");
  Append(body, hdrl);
  const uint32_t moviCodeAt = static_cast<uint32_t>(8 + body.size() + 8);
  Append(body, moviList);
  if (spec.index == IndexKind::Absolute) {
    for (size_t at = 8; at < idx1.size(); at += 16) PutLe32(idx1, at, GetLe32(idx1, at) + moviCodeAt);
  }
  if (spec.index != IndexKind::None) Append(body, Chunk("idx1", idx1));
  Bytes file = Code("RIFF");
  Append(file, Le32(static_cast<uint32_t>(body.size())));
  Append(file, body);
  return file;
}

static int64_t Walk(const Bytes& file, size_t begin, size_t end, const std::string& code, int& nth) {
  size_t pos = begin;
  while (pos + 8 <= end) {
    std::string id(file.begin() + pos, file.begin() + pos + 4);
    uint64_t size = GetLe32(file, pos + 4);
    bool isList = (id == "RIFF" || id == "LIST") && pos + 12 <= end;
    std::string type = isList ? std::string(file.begin() + pos + 8, file.begin() + pos + 12) : "";
    if ((isList ? type : id) == code && nth-- == 0) return static_cast<int64_t>(pos);
    uint64_t next = pos + 8 + size + (size & 1);
    if (isList && type != "movi") {
      int64_t found = Walk(file, pos + 12, static_cast<size_t>(std::min<uint64_t>(pos + 8 + size, end)), code, nth);
      if (found >= 0) return found;
    }
    if (next <= pos) break;
    pos = static_cast<size_t>(next);
  }
  return -1;
}

int64_t FindChunk(const Bytes& file, const std::string& code, int nth) {
  return Walk(file, 0, file.size(), code, nth);
}

}  // namespace testsupport
