// Checks made on a document's bytes before libxml2 sees them, so that no
// document can make the parse itself take unbounded time or memory.
#pragma once

#include <stddef.h>

namespace twxml {

// libxml2's tree takes about fifteen times the text; a 32-bit process has 2 GB.
const size_t kMaxDocumentBytes = 64u * 1024u * 1024u;
// libxml2 compares each attribute with all earlier ones of its element.
const int kMaxAttributesPerElement = 1024;

// Answers of CheckDocument besides a line of its own.
// The text is not XML that libxml2 would parse either: only the parse error is logged.
extern const char kUnparsable[];
// The declaration names an encoding the loader does not read; whether libxml2
// reads it (and the line is logged) is for the caller to find out.
extern const char kUnreadEncoding[];

// None when the document may be parsed; otherwise one of the answers above or
// why it is refused, as a line for the log. `usable` receives the length
// without trailing zero bytes; `encoding` the declared encoding's name, if any.
const char* CheckDocument(const char* text, size_t length, size_t* usable,
                          const char** encoding, size_t* encodingLength);

} // namespace twxml
