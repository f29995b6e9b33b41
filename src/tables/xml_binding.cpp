#include "tables/xml_binding.h"
#include "base/log.h"

#include <windows.h>

#ifdef _WIN32
#define TW_CDECL __cdecl
#else
#define TW_CDECL
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <stddef.h>

// The node records of xml_binding.h repeat libxml2's own layout.
namespace twxml {
static_assert(sizeof(Node) == sizeof(xmlNode) && sizeof(Attr) == sizeof(xmlAttr));
static_assert(offsetof(Node, type) == offsetof(xmlNode, type));
static_assert(offsetof(Node, name) == offsetof(xmlNode, name));
static_assert(offsetof(Node, children) == offsetof(xmlNode, children));
static_assert(offsetof(Node, parent) == offsetof(xmlNode, parent));
static_assert(offsetof(Node, next) == offsetof(xmlNode, next));
static_assert(offsetof(Node, content) == offsetof(xmlNode, content));
static_assert(offsetof(Node, properties) == offsetof(xmlNode, properties));
static_assert(offsetof(Attr, name) == offsetof(xmlAttr, name));
static_assert(offsetof(Attr, children) == offsetof(xmlAttr, children));
static_assert(offsetof(Attr, next) == offsetof(xmlAttr, next));
static_assert(kElementNode == int{XML_ELEMENT_NODE} && kTextNode == int{XML_TEXT_NODE} &&
              kEntityRefNode == int{XML_ENTITY_REF_NODE} &&
              kDocumentNode == int{XML_DOCUMENT_NODE} &&
              kCDataSectionNode == int{XML_CDATA_SECTION_NODE});
static_assert(kParseNoError == XML_PARSE_NOERROR && kParseNoWarning == XML_PARSE_NOWARNING &&
              kParseNoNet == XML_PARSE_NONET && kParseCompact == XML_PARSE_COMPACT);
} // namespace twxml
#endif

namespace twxml {
namespace {

typedef Doc*(TW_CDECL* ReadMemoryFn)(const char*, int, const char*, const char*, int);
typedef Node*(TW_CDECL* DocGetRootElementFn)(Doc*);
typedef unsigned char*(TW_CDECL* NodeListGetStringFn)(Doc*, Node*, int);
typedef void(TW_CDECL* FreeFn)(void*);
typedef FreeFn*(TW_CDECL* FreeAccessorFn)(void);
typedef void(TW_CDECL* FreeDocFn)(Doc*);
typedef void(TW_CDECL* CleanupParserFn)(void);

struct Api {
    HMODULE module;
    ReadMemoryFn readMemory;
    DocGetRootElementFn docGetRootElement;
    NodeListGetStringFn nodeListGetString;
    FreeFn* freeVariable; // xmlFree is a variable holding the free function
    FreeDocFn freeDoc;
    CleanupParserFn cleanupParser;
};

Api g_api;
bool g_loaded = false;

// The program's own build of libxml2 on Windows, the system's on Linux: both
// are loaded when the first document is read, not when the program starts.
#ifdef _WIN32
const char kLibraryName[] = "twlibxml2.dll";
#else
const char kLibraryName[] = TW_LIBXML2_SONAME;
#endif

template <class Fn> bool bind(HMODULE m, const char* name, Fn* out) {
    FARPROC p = GetProcAddress(m, name);
    if (p == nullptr) {
        LogError("%s: the function %s is missing (error %lu)\n", kLibraryName, name,
                 static_cast<unsigned long>(GetLastError()));
        return false;
    }
    *out = reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
    return true;
}

} // namespace

bool Load() {
    if (g_loaded)
        return true;
    HMODULE m = LoadLibraryA(kLibraryName);
    if (m == nullptr) {
        LogError("Cannot load %s (error %lu); XML documents cannot be read.\n", kLibraryName,
                 static_cast<unsigned long>(GetLastError()));
        return false;
    }
    Api api{};
    api.module = m;
    bool ok = bind(m, "xmlReadMemory", &api.readMemory) &&
              bind(m, "xmlDocGetRootElement", &api.docGetRootElement) &&
              bind(m, "xmlNodeListGetString", &api.nodeListGetString) &&
              bind(m, "xmlFreeDoc", &api.freeDoc) &&
              bind(m, "xmlCleanupParser", &api.cleanupParser);
    if (ok) {
        // Builds with per-thread allocators export an accessor instead of the variable.
        FARPROC var = GetProcAddress(m, "xmlFree");
        if (var != nullptr) {
            api.freeVariable = reinterpret_cast<FreeFn*>(reinterpret_cast<void*>(var));
        } else {
            FreeAccessorFn accessor = nullptr;
            ok = bind(m, "__xmlFree", &accessor);
            api.freeVariable = ok ? accessor() : nullptr;
            ok = ok && api.freeVariable != nullptr;
        }
    }
    if (!ok) {
        FreeLibrary(m);
        return false;
    }
    g_api = api;
    g_loaded = true;
    return true;
}

Doc* ReadMemory(const char* buffer, int size, const char* url, const char* encoding, int options) {
    // The first document binds the library, whoever asks for it.
    return Load() ? g_api.readMemory(buffer, size, url, encoding, options) : nullptr;
}

Node* DocGetRootElement(Doc* doc) {
    return g_loaded ? g_api.docGetRootElement(doc) : nullptr;
}

unsigned char* NodeListGetString(Doc* doc, Node* list, int inLine) {
    return g_loaded ? g_api.nodeListGetString(doc, list, inLine) : nullptr;
}

void Free(void* p) {
    if (g_loaded && p != nullptr && *g_api.freeVariable != nullptr)
        (*g_api.freeVariable)(p);
}

void FreeDoc(Doc* doc) {
    if (g_loaded && doc != nullptr)
        g_api.freeDoc(doc);
}

void CleanupParser() {
    if (g_loaded)
        g_api.cleanupParser();
}

} // namespace twxml
