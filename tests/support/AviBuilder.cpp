#include "tests/support/AviBuilder.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>

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

static std::string ChunkCode(int stream, const std::string& kind) {
  return {static_cast<char>('0' + stream / 10), static_cast<char>('0' + stream % 10), kind[0], kind[1]};
}

// A super index of one entry: the 'ix##' chunk at ixOffset of ixSize bytes.
static Bytes SuperIndex(int stream, const std::string& kind, uint64_t ixOffset, uint32_t ixSize, uint32_t frames,
                        int copies) {
  Bytes b = Le16(4);
  b.push_back(0);     // bIndexSubType
  b.push_back(0x00);  // AVI_INDEX_OF_INDEXES
  Append(b, Le32(static_cast<uint32_t>(copies)));
  Append(b, Code(ChunkCode(stream, kind)));
  for (int i = 0; i < 3; ++i) Append(b, Le32(0));
  for (int i = 0; i < copies; ++i) {
    Append(b, Le32(static_cast<uint32_t>(ixOffset)));
    Append(b, Le32(static_cast<uint32_t>(ixOffset >> 32)));
    Append(b, Le32(ixSize));
    Append(b, Le32(frames));
  }
  return b;
}

static Bytes StreamList(const StreamLayout& s, const Bytes& indx) {
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
  if (!indx.empty()) children.push_back(Chunk("indx", indx));
  return List("LIST", "strl", children);
}

static std::string StreamKind(const FileLayout& layout, int stream) {
  for (const ChunkLayout& c : layout.chunks)
    if (c.stream == stream) return c.kind;
  return layout.streams[static_cast<size_t>(stream)].type == "auds" ? "wb" : "dc";
}

Bytes BuildAvi(const FileLayout& layout) {
  Bytes avih = Le32(40000);
  for (int i = 0; i < 5; ++i) Append(avih, Le32(0));
  uint32_t streams = layout.mainHeaderStreams < 0 ? static_cast<uint32_t>(layout.streams.size())
                                                : static_cast<uint32_t>(layout.mainHeaderStreams);
  Append(avih, Le32(streams));
  for (int i = 0; i < 7; ++i) Append(avih, Le32(0));
  // 'movi' body and the idx1 entries, offsets counted from the 'movi' code.
  Bytes movi = Code("movi");
  Bytes idx1;
  std::vector<std::vector<std::pair<uint32_t, const ChunkLayout*>>> perStream(layout.streams.size());
  for (const ChunkLayout& c : layout.chunks) {
    std::string code = ChunkCode(c.stream, c.kind);
    Bytes chunk = Chunk(code, c.data);
    uint32_t at = static_cast<uint32_t>(movi.size()) + (layout.recordLists ? 12 : 0);
    if (layout.recordLists) chunk = List("LIST", "rec ", {chunk});
    Append(movi, chunk);
    Append(idx1, Code(code));
    Append(idx1, Le32(c.key ? 0x10 : 0));
    Append(idx1, Le32(at));
    Append(idx1, Le32(static_cast<uint32_t>(c.data.size())));
    if (static_cast<size_t>(c.stream) < perStream.size()) perStream[static_cast<size_t>(c.stream)].push_back({at, &c});
  }

  // The header list's size does not depend on the index values: build it once
  // to learn where 'movi' starts, then again with the real offsets.
  std::vector<uint64_t> ixAt(layout.streams.size(), 0);
  std::vector<Bytes> ixChunks(layout.streams.size());
  auto headerList = [&](uint64_t moviCode) {
    std::vector<Bytes> header = {Chunk("avih", avih)};
    for (size_t s = 0; s < layout.streams.size(); ++s) {
      Bytes indx;
      if (layout.openDml) {
        int stream = static_cast<int>(s);
        Bytes ix = Le16(2);
        ix.push_back(0);
        ix.push_back(0x01);  // AVI_INDEX_OF_CHUNKS
        Append(ix, Le32(static_cast<uint32_t>(perStream[s].size())));
        Append(ix, Code(ChunkCode(stream, StreamKind(layout, stream))));
        Append(ix, Le32(static_cast<uint32_t>(moviCode)));
        Append(ix, Le32(static_cast<uint32_t>(moviCode >> 32)));
        Append(ix, Le32(0));
        for (const auto& [at, c] : perStream[s]) {
          Append(ix, Le32(at + 8));  // to the data, from the base
          Append(ix, Le32(static_cast<uint32_t>(c->data.size()) | (c->key ? 0 : 0x80000000u)));
        }
        ixChunks[s] = Chunk("ix" + ChunkCode(stream, "ix").substr(0, 2), ix);
        indx = SuperIndex(stream, StreamKind(layout, stream), moviCode + ixAt[s],
                          static_cast<uint32_t>(ixChunks[s].size()), static_cast<uint32_t>(perStream[s].size()),
                          layout.superIndexCopies);
      }
      header.push_back(StreamList(layout.streams[s], indx));
    }
    return List("LIST", "hdrl", header);
  };
  Bytes hdrl = headerList(0);
  const uint64_t moviCode = 12 + hdrl.size() + 8;
  if (layout.openDml) {
    for (size_t s = 0; s < layout.streams.size(); ++s) {
      ixAt[s] = movi.size();
      Append(movi, ixChunks[s]);
    }
  }
  hdrl = headerList(moviCode);
  for (size_t s = 0; layout.openDml && s < layout.streams.size(); ++s)
    std::copy(ixChunks[s].begin(), ixChunks[s].end(), movi.begin() + static_cast<long>(ixAt[s]));
  Bytes moviList = Code("LIST");
  Append(moviList, Le32(static_cast<uint32_t>(movi.size())));
  Append(moviList, movi);

  Bytes body = Code("AVI ");
  Append(body, hdrl);
  const uint32_t moviCodeAt = static_cast<uint32_t>(8 + body.size() + 8);
  Append(body, moviList);
  if (layout.index == IndexKind::Absolute) {
    for (size_t at = 8; at < idx1.size(); at += 16) PutLe32(idx1, at, GetLe32(idx1, at) + moviCodeAt);
  }
  if (layout.index != IndexKind::None) Append(body, Chunk("idx1", idx1));
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
    if (isList) {
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

namespace {

struct Field {
  const char* chunk;  // "avih", "strh" or "strf"
  size_t at;
  int bytes;
};

const std::map<std::string, Field>& Fields(const std::string& stream) {
  static const std::map<std::string, Field> avih = {
      {"dwMicroSecPerFrame", {"avih", 0, 4}}, {"dwTotalFrames", {"avih", 16, 4}}, {"dwStreams", {"avih", 24, 4}},
      {"dwSuggestedBufferSize", {"avih", 28, 4}}, {"dwWidth", {"avih", 32, 4}}, {"dwHeight", {"avih", 36, 4}}};
  static const std::map<std::string, Field> strh = {
      {"dwScale", {"strh", 20, 4}}, {"dwRate", {"strh", 24, 4}}, {"dwStart", {"strh", 28, 4}},
      {"dwLength", {"strh", 32, 4}}, {"dwSuggestedBufferSize", {"strh", 36, 4}}, {"dwSampleSize", {"strh", 44, 4}}};
  static const std::map<std::string, Field> video = [] {
    auto m = strh;
    m.insert({{"biWidth", {"strf", 4, 4}}, {"biHeight", {"strf", 8, 4}}, {"biBitCount", {"strf", 14, 2}},
              {"biSizeImage", {"strf", 20, 4}}});
    return m;
  }();
  static const std::map<std::string, Field> audio = [] {
    auto m = strh;
    m.insert({{"nChannels", {"strf", 2, 2}}, {"nSamplesPerSec", {"strf", 4, 4}}, {"nAvgBytesPerSec", {"strf", 8, 4}},
              {"nBlockAlign", {"strf", 12, 2}}, {"wBitsPerSample", {"strf", 14, 2}}});
    return m;
  }();
  return stream == "avih" ? avih : stream == "vids" ? video : audio;
}

}  // namespace

bool SetHeaderField(Bytes& file, const std::string& stream, const std::string& field, uint32_t value) {
  const auto& fields = Fields(stream);
  const auto found = fields.find(field);
  if (found == fields.end()) return false;
  const Field& f = found->second;
  int64_t at = -1;
  if (stream == "avih") {
    at = FindChunk(file, "avih");
  } else {
    // The nth 'strh' and the nth 'strf' belong to the same stream list.
    for (int n = 0; at < 0; ++n) {
      const int64_t strh = FindChunk(file, "strh", n);
      if (strh < 0) return false;
      if (std::string(file.begin() + strh + 8, file.begin() + strh + 12) == stream)
        at = std::string(f.chunk) == "strh" ? strh : FindChunk(file, "strf", n);
    }
  }
  if (at < 0 || static_cast<size_t>(at) + 8 + f.at + f.bytes > file.size()) return false;
  for (int i = 0; i < f.bytes; ++i) file[static_cast<size_t>(at) + 8 + f.at + i] = static_cast<uint8_t>(value >> (8 * i));
  return true;
}

namespace {

// Calls damage(file, pos) at the header of every nth data chunk of the first
// 'movi', from data chunk first (< every) on; returns how many.
size_t DamageDataChunks(Bytes& file, size_t first, size_t every, const std::function<void(Bytes&, size_t)>& damage) {
  const int64_t movi = FindChunk(file, "movi");
  if (movi < 0) return 0;
  const size_t end = std::min<size_t>(file.size(), static_cast<size_t>(movi) + 8 + GetLe32(file, static_cast<size_t>(movi) + 4));
  size_t damaged = 0, data = 0;
  for (size_t pos = static_cast<size_t>(movi) + 12; pos + 8 <= end;) {
    const std::string id(file.begin() + pos, file.begin() + pos + 4);
    const uint32_t size = GetLe32(file, pos + 4);
    if (id == "LIST") {  // a 'rec ' list: its chunks are walked in turn
      pos += 12;
      continue;
    }
    const bool isData = std::isdigit(static_cast<unsigned char>(id[0])) && std::isdigit(static_cast<unsigned char>(id[1]));
    if (isData && data++ % every == first) {
      damage(file, pos);
      ++damaged;
    }
    pos += 8 + uint64_t{size} + (size & 1);
  }
  return damaged;
}

}  // namespace

size_t ZeroEverySecondChunkCode(Bytes& file) {
  return DamageDataChunks(file, 1, 2, [](Bytes& f, size_t pos) { std::fill_n(f.begin() + static_cast<std::ptrdiff_t>(pos), 4, 0); });
}

size_t BreakChunkSizes(Bytes& file, size_t every, size_t first) {
  return DamageDataChunks(file, first, every, [](Bytes& f, size_t pos) { PutLe32(f, pos + 4, 0xFFFFFFF0); });
}

}  // namespace testsupport
