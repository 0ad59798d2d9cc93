// What an XML text's prolog shows of a document type declaration, read
// without a parser: for a parser that cannot be told to refuse one, or that
// takes the order and ignores it.
#pragma once

#include <string>

namespace dv::plat {

enum class XmlProlog {
  Clear,       // no document type declaration before the first element (or none at all)
  Doctype,     // the first markup after the prolog is "<!DOCTYPE"
  Unreadable,  // an encoding or prolog this scan cannot read: refused as a precaution
};

// Reads only the prolog: a byte-order mark, the XML declaration, processing
// instructions, comments and white space, in an ASCII-compatible encoding
// (every byte below 0x40 stands for itself, as in UTF-8 and GBK) or in
// UTF-16 of either byte order. Whatever follows the first element's "<" is
// the parser's to judge.
XmlProlog ScanXmlProlog(const std::string& bytes);

}  // namespace dv::plat
