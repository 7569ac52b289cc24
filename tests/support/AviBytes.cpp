#include "tests/support/AviBytes.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>

namespace testsupport {
namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32); }

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool ReadAt(FILE* f, uint64_t offset, void* out, size_t size) {
  if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  return std::fread(out, 1, size, f) == size;
}

// Children of [begin, end); false with error when a header is cut or overruns.
bool ParseRange(FILE* f, uint64_t begin, uint64_t end, std::vector<RiffNode>& out, std::string& error) {
  uint64_t pos = begin;
  while (pos + 8 <= end) {
    uint8_t h[12];
    if (!ReadAt(f, pos, h, 8)) {
      error = "cut header at " + std::to_string(pos);
      return false;
    }
    RiffNode node;
    node.id.assign(reinterpret_cast<char*>(h), 4);
    node.offset = pos;
    node.size = Le32(h + 4);
    uint64_t next = pos + 8 + node.size + (node.size & 1);
    if (pos + 8 + node.size > end) {
      error = node.id + " at " + std::to_string(pos) + " overruns its parent";
      out.push_back(node);
      return false;
    }
    if ((node.id == "RIFF" || node.id == "LIST") && node.size >= 4) {
      if (!ReadAt(f, pos + 8, h + 8, 4)) {
        error = "cut list type at " + std::to_string(pos);
        return false;
      }
      node.listType.assign(reinterpret_cast<char*>(h + 8), 4);
      if (!ParseRange(f, pos + 12, pos + 8 + node.size, node.children, error)) {
        out.push_back(std::move(node));
        return false;
      }
    }
    out.push_back(std::move(node));
    pos = next;
  }
  return true;
}

bool IsDataChunkId(const std::string& id) {
  return id.size() == 4 && std::isdigit(static_cast<unsigned char>(id[0])) &&
         std::isdigit(static_cast<unsigned char>(id[1]));
}
int StreamOf(const std::string& id) { return (id[0] - '0') * 10 + (id[1] - '0'); }

}  // namespace

const RiffNode* RiffNode::Child(const std::string& key) const {
  auto all = Children(key);
  return all.empty() ? nullptr : all.front();
}

std::vector<const RiffNode*> RiffNode::Children(const std::string& key) const {
  std::vector<const RiffNode*> found;
  for (const RiffNode& c : children) {
    std::string k = c.listType.empty() ? c.id : c.id + ":" + c.listType;
    if (k == key || c.id == key) found.push_back(&c);
  }
  return found;
}

std::vector<RiffNode> ParseRiffFile(const std::string& path, std::string* error) {
  std::vector<RiffNode> top;
  File f(std::fopen(path.c_str(), "rb"));
  std::string e;
  if (!f) {
    e = "cannot open " + path;
  } else {
    fseeko(f.get(), 0, SEEK_END);
    auto size = static_cast<uint64_t>(ftello(f.get()));
    ParseRange(f.get(), 0, size, top, e);
  }
  if (error) *error = e;
  return top;
}

std::vector<uint8_t> ReadBytes(const std::string& path, uint64_t offset, size_t size) {
  std::vector<uint8_t> bytes(size);
  File f(std::fopen(path.c_str(), "rb"));
  if (!f || fseeko(f.get(), static_cast<off_t>(offset), SEEK_SET) != 0) return {};
  bytes.resize(std::fread(bytes.data(), 1, size, f.get()));
  return bytes;
}

std::vector<MoviChunk> ReadMoviChunks(const std::string& path) {
  std::vector<MoviChunk> chunks;
  std::vector<RiffNode> top = ParseRiffFile(path);
  std::vector<bool> keys;
  for (size_t r = 0; r < top.size(); ++r) {
    if (top[r].id != "RIFF") continue;
    if (r == 0) {
      if (const RiffNode* idx1 = top[r].Child("idx1")) {
        std::vector<uint8_t> bytes = ReadChunkData(path, *idx1);
        for (size_t i = 0; i + 16 <= bytes.size(); i += 16) keys.push_back(Le32(&bytes[i + 4]) & 0x10);
      }
    }
    for (const RiffNode* movi : top[r].Children("LIST:movi")) {
      for (const RiffNode& c : movi->children) {
        if (!IsDataChunkId(c.id)) continue;
        MoviChunk chunk;
        chunk.id = c.id;
        chunk.data = ReadChunkData(path, c);
        chunks.push_back(std::move(chunk));
      }
    }
  }
  for (size_t i = 0; i < chunks.size() && i < keys.size(); ++i) chunks[i].keyFrame = keys[i];
  return chunks;
}

std::string CheckOpenDml(const std::string& path, uint64_t riffLimit, OpenDmlSummary* summary) {
  std::string parseError;
  std::vector<RiffNode> top = ParseRiffFile(path, &parseError);
  if (!parseError.empty()) return "RIFF structure: " + parseError;
  if (top.empty() || top[0].id != "RIFF" || top[0].listType != "AVI ") return "no RIFF 'AVI '";
  OpenDmlSummary s;
  s.riffs = top.size();

  const RiffNode* hdrl = top[0].Child("LIST:hdrl");
  if (!hdrl) return "no hdrl";
  const RiffNode* avih = hdrl->Child("avih");
  if (!avih || avih->size < 56) return "no avih";
  s.avihTotalFrames = Le32(ReadChunkData(path, *avih).data() + 16);
  const RiffNode* odml = hdrl->Child("LIST:odml");
  const RiffNode* dmlh = odml ? odml->Child("dmlh") : nullptr;
  if (!dmlh || dmlh->size < 4) return "no odml/dmlh";
  s.dmlhTotalFrames = Le32(ReadChunkData(path, *dmlh).data());

  std::vector<const RiffNode*> strls = hdrl->Children("LIST:strl");
  size_t streams = strls.size();
  std::vector<bool> video(streams), countsBytes(streams);
  std::vector<uint32_t> sampleSize(streams);
  for (size_t i = 0; i < streams; ++i) {
    const RiffNode* strh = strls[i]->Child("strh");
    if (!strh) return "stream " + std::to_string(i) + " has no strh";
    std::vector<uint8_t> h = ReadChunkData(path, *strh);
    video[i] = std::string(h.begin(), h.begin() + 4) == "vids";
    sampleSize[i] = Le32(&h[44]);
    countsBytes[i] = !video[i] && sampleSize[i] != 0;
  }

  // Walk every movi: data chunks per stream (header offsets, sizes) and ix## positions.
  struct Walked {
    uint64_t offset;
    uint32_t size;
    size_t riff;
  };
  std::vector<std::vector<Walked>> walked(streams);
  std::map<uint64_t, const RiffNode*> ixChunks;
  for (size_t r = 0; r < top.size(); ++r) {
    const RiffNode& riff = top[r];
    if (riff.id != "RIFF") return "top-level " + riff.id + " is not a RIFF";
    if (r > 0 && riff.listType != "AVIX") return "RIFF " + std::to_string(r) + " is '" + riff.listType + "'";
    if (uint64_t{riff.size} + 8 > riffLimit)
      return "RIFF " + std::to_string(r) + " is " + std::to_string(riff.size + 8) + " bytes";
    if (r > 0 && riff.Child("idx1")) return "idx1 in RIFF " + std::to_string(r);
    std::vector<const RiffNode*> movis = riff.Children("LIST:movi");
    if (movis.size() != 1) return "RIFF " + std::to_string(r) + " has " + std::to_string(movis.size()) + " movi lists";
    for (const RiffNode& c : movis[0]->children) {
      if (c.id.size() == 4 && c.id[0] == 'i' && c.id[1] == 'x') {
        ixChunks[c.offset] = &c;
      } else if (IsDataChunkId(c.id)) {
        int st = StreamOf(c.id);
        if (st < 0 || static_cast<size_t>(st) >= streams) return "chunk " + c.id + " of no stream";
        walked[st].push_back({c.offset, c.size, r});
        if (r == 0 && video[st]) s.firstRiffVideoChunks++;
      }
    }
  }

  // idx1: exactly the first RIFF's data chunks, in order.
  const RiffNode* idx1 = top[0].Child("idx1");
  if (!idx1) return "no idx1";
  std::vector<uint8_t> idx1Bytes = ReadChunkData(path, *idx1);
  uint64_t moviBase = top[0].Child("LIST:movi")->offset + 8;
  std::vector<std::pair<uint64_t, uint32_t>> firstRiff;  // header offset, size in file order
  for (const RiffNode& c : top[0].Child("LIST:movi")->children)
    if (IsDataChunkId(c.id)) firstRiff.push_back({c.offset, c.size});
  if (idx1Bytes.size() != 16 * firstRiff.size())
    return "idx1 has " + std::to_string(idx1Bytes.size() / 16) + " entries for " +
           std::to_string(firstRiff.size()) + " chunks";
  std::map<uint64_t, bool> idx1Keys;
  for (size_t i = 0; i < firstRiff.size(); ++i) {
    const uint8_t* e = &idx1Bytes[16 * i];
    if (moviBase + Le32(e + 8) != firstRiff[i].first || Le32(e + 12) != firstRiff[i].second)
      return "idx1 entry " + std::to_string(i) + " does not match its chunk";
    idx1Keys[firstRiff[i].first] = (Le32(e + 4) & 0x10) != 0;
  }

  // indx -> ix## -> chunks, per stream.
  s.chunksPerStream.assign(streams, 0);
  s.indexedPerStream.assign(streams, 0);
  for (size_t i = 0; i < streams; ++i) {
    s.chunksPerStream[i] = walked[i].size();
    const RiffNode* indx = strls[i]->Child("indx");
    if (!indx) {
      if (walked[i].empty()) continue;
      return "stream " + std::to_string(i) + " has chunks but no indx";
    }
    std::vector<uint8_t> sup = ReadChunkData(path, *indx);
    if (Le16(&sup[0]) != 4 || sup[3] != 0) return "indx of stream " + std::to_string(i) + " is not a super index";
    uint32_t used = Le32(&sup[4]);
    if (24 + 16 * uint64_t{used} > sup.size()) return "indx entries overrun";
    size_t next = 0;
    for (uint32_t k = 0; k < used; ++k) {
      const uint8_t* e = &sup[24 + 16 * k];
      uint64_t ixOffset = Le64(e);
      auto it = ixChunks.find(ixOffset);
      if (it == ixChunks.end()) return "indx entry points to no ix## chunk";
      const RiffNode* ix = it->second;
      if (Le32(e + 8) != ix->size + 8) return "indx entry size differs from its ix## chunk";
      std::vector<uint8_t> ixData = ReadChunkData(path, *ix);
      if (Le16(&ixData[0]) != 2 || ixData[3] != 1) return "ix## is not a standard index";
      if (std::string(ixData.begin() + 8, ixData.begin() + 12) != std::string(sup.begin() + 8, sup.begin() + 12))
        return "ix## chunk id differs from indx";
      uint32_t n = Le32(&ixData[4]);
      uint64_t base = Le64(&ixData[12]);
      if (24 + 8 * uint64_t{n} > ixData.size()) return "ix## entries overrun";
      uint64_t ticks = 0;
      for (uint32_t j = 0; j < n; ++j, ++next) {
        const uint8_t* x = &ixData[24 + 8 * j];
        uint64_t header = base + Le32(x) - 8;
        uint32_t size = Le32(x + 4) & 0x7FFFFFFF;
        bool key = (Le32(x + 4) & 0x80000000u) == 0;
        if (next >= walked[i].size()) return "ix## lists more chunks than stream " + std::to_string(i) + " has";
        if (walked[i][next].offset != header || walked[i][next].size != size)
          return "ix## entry " + std::to_string(next) + " of stream " + std::to_string(i) + " misses its chunk";
        auto k1 = idx1Keys.find(header);
        if (k1 != idx1Keys.end() && k1->second != key) return "key flag differs between idx1 and ix##";
        ticks += size;
      }
      uint64_t duration = countsBytes[i] ? ticks / sampleSize[i] : n;
      if (Le32(e + 12) != duration)
        return "indx duration " + std::to_string(Le32(e + 12)) + " for " + std::to_string(duration) + " ticks";
    }
    s.indexedPerStream[i] = next;
    if (next != walked[i].size())
      return "stream " + std::to_string(i) + ": " + std::to_string(next) + " of " +
             std::to_string(walked[i].size()) + " chunks indexed";
  }
  uint64_t totalVideo = 0;
  for (size_t i = 0; i < streams; ++i)
    if (video[i]) {
      totalVideo = walked[i].size();
      break;
    }
  if (s.dmlhTotalFrames != totalVideo) return "dmlh total frames " + std::to_string(s.dmlhTotalFrames);
  if (s.avihTotalFrames != s.firstRiffVideoChunks)
    return "avih total frames " + std::to_string(s.avihTotalFrames) + " for " +
           std::to_string(s.firstRiffVideoChunks) + " in the first RIFF";
  if (summary) *summary = s;
  return "";
}

uint32_t Adler32(const uint8_t* data, size_t size, uint32_t adler) {
  uint32_t a = adler & 0xFFFF, b = adler >> 16;
  while (size > 0) {
    size_t n = size < 5552 ? size : 5552;
    size -= n;
    while (n--) {
      a += *data++;
      b += a;
    }
    a %= 65521;
    b %= 65521;
  }
  return (b << 16) | a;
}

uint32_t Adler32Combine(uint32_t first, uint32_t second, uint64_t secondLength) {
  const uint64_t m = 65521;
  uint64_t a1 = first & 0xFFFF, b1 = first >> 16, a2 = second & 0xFFFF, b2 = second >> 16;
  uint64_t a = (a1 + a2) % m;
  uint64_t b = (b1 + (secondLength % m) * a1 + b2) % m;
  return static_cast<uint32_t>((b << 16) | a);
}

}  // namespace testsupport
