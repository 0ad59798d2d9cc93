#include "platform/xml_prolog.h"

#include <cstddef>

namespace dv::plat {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// The text as code units: bytes, or UTF-16 units in the given byte order.
class Units {
 public:
  Units(const std::string& bytes, std::size_t start, bool utf16, bool bigEndian)
      : b_(bytes), start_(start), width_(utf16 ? 2 : 1), big_(bigEndian) {}
  bool Utf16() const { return width_ == 2; }
  std::size_t Size() const { return (b_.size() - start_) / width_; }
  unsigned At(std::size_t i) const {
    const std::size_t at = start_ + i * width_;
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(b_[k]); };
    if (width_ == 1) return byte(at);
    return big_ ? byte(at) << 8 | byte(at + 1) : byte(at + 1) << 8 | byte(at);
  }
  // True when the units from i spell ascii; letters of either case when fold.
  bool HasAt(std::size_t i, const char* ascii, bool fold = false) const {
    for (; *ascii != '\0'; ++ascii, ++i) {
      if (i >= Size()) return false;
      unsigned u = At(i), c = static_cast<unsigned char>(*ascii);
      if (fold && u >= 'a' && u <= 'z') u -= 32;
      if (fold && c >= 'a' && c <= 'z') c -= 32;
      if (u != c) return false;
    }
    return true;
  }
  // Index of the first place from i, before limit, where ascii starts, or kNone.
  std::size_t Find(std::size_t i, const char* ascii, std::size_t limit = kNone) const {
    for (const std::size_t stop = limit < Size() ? limit : Size(); i < stop; ++i)
      if (HasAt(i, ascii)) return i;
    return kNone;
  }

 private:
  const std::string& b_;
  std::size_t start_;
  std::size_t width_;
  bool big_;
};

bool IsBlank(unsigned u) { return u == 0x20 || u == 0x09 || u == 0x0D || u == 0x0A; }

// Encodings in which the prolog's markup characters are single bytes that
// never occur inside another character, so a byte-wise read sees the same
// markup as the parser.
bool IsAsciiCompatible(const std::string& name) {
  std::string n;
  for (char c : name) n += c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
  for (const char* known : {"UTF-8", "US-ASCII", "ASCII", "GBK", "GB2312", "GB18030", "CP936",
                            "BIG5", "EUC-JP", "EUC-KR", "SHIFT_JIS"})
    if (n == known) return true;
  return n.rfind("ISO-8859-", 0) == 0 || n.rfind("WINDOWS-125", 0) == 0;
}

// The encoding the declaration between from and end names, in found;
// false when it names one in a form this scan cannot read.
bool DeclaredEncoding(const Units& u, std::size_t from, std::size_t end, std::string& found) {
  found.clear();
  // Only the declaration is searched: what follows it is read once, by the
  // caller, however many declarations a text repeats.
  std::size_t i = u.Find(from, "encoding", end);
  if (i == kNone) return true;  // none named
  i += 8;
  while (i < end && IsBlank(u.At(i))) ++i;
  if (i >= end || u.At(i) != '=') return false;
  ++i;
  while (i < end && IsBlank(u.At(i))) ++i;
  if (i >= end || (u.At(i) != '"' && u.At(i) != '\'')) return false;
  const unsigned quote = u.At(i++);
  for (; i < end && u.At(i) != quote; ++i) {
    if (u.At(i) >= 0x80) return false;
    found += static_cast<char>(u.At(i));
  }
  return i < end;
}

XmlProlog Scan(const Units& u) {
  std::size_t i = 0;
  for (;;) {
    while (i < u.Size() && IsBlank(u.At(i))) ++i;
    if (i >= u.Size()) return XmlProlog::Clear;  // no markup: the parser refuses it
    // Text before the first element is no well-formed XML, and bytes that are
    // no ASCII "<" may be another encoding's markup.
    if (u.At(i) != '<') return XmlProlog::Unreadable;
    if (u.HasAt(i, "<?")) {
      const std::size_t end = u.Find(i + 2, "?>");
      if (end == kNone) return XmlProlog::Unreadable;
      if (u.HasAt(i, "<?xml", true) && i + 5 < end && IsBlank(u.At(i + 5))) {
        std::string encoding;
        if (!DeclaredEncoding(u, i + 5, end, encoding)) return XmlProlog::Unreadable;
        // A UTF-16 text is read as such whatever it declares.
        if (!u.Utf16() && !encoding.empty() && !IsAsciiCompatible(encoding))
          return XmlProlog::Unreadable;
      }
      i = end + 2;
    } else if (u.HasAt(i, "<!--")) {
      const std::size_t end = u.Find(i + 4, "-->");
      if (end == kNone) return XmlProlog::Unreadable;
      i = end + 3;
    } else if (u.HasAt(i, "<!DOCTYPE", true)) {
      return XmlProlog::Doctype;
    } else if (u.HasAt(i, "<!")) {
      return XmlProlog::Unreadable;  // no other declaration belongs before the element
    } else {
      return XmlProlog::Clear;  // the first element: the prolog is over
    }
  }
}

}  // namespace

XmlProlog ScanXmlProlog(const std::string& bytes) {
  const auto b = [&](std::size_t k) {
    return k < bytes.size() ? static_cast<unsigned char>(bytes[k]) : 0x100u;  // 0x100: none
  };
  if (b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF) return Scan(Units(bytes, 3, false, false));
  // Four-byte units (UTF-32, with or without its mark) are not read.
  if ((b(0) == 0xFF && b(1) == 0xFE && b(2) == 0 && b(3) == 0) || (b(0) == 0 && b(1) == 0))
    return XmlProlog::Unreadable;
  if (b(0) == 0xFF && b(1) == 0xFE) return Scan(Units(bytes, 2, true, false));
  if (b(0) == 0xFE && b(1) == 0xFF) return Scan(Units(bytes, 2, true, true));
  // Without a mark, UTF-16 shows as a zero byte beside every ASCII one.
  if (b(0) != 0 && b(0) < 0x100 && b(1) == 0) {
    if (b(2) == 0 && b(3) == 0) return XmlProlog::Unreadable;  // UTF-32, little-endian
    return Scan(Units(bytes, 0, true, false));
  }
  if (b(0) == 0 && b(1) < 0x100) return Scan(Units(bytes, 0, true, true));
  return Scan(Units(bytes, 0, false, false));
}

}  // namespace dv::plat
