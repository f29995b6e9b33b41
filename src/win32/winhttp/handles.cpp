// The handle table of the Linux WinHTTP and WinHttpCloseHandle.
#include "winhttp/handles.h"

#include "kernel32/handles.h"

#include <new>
#include <unordered_map>

namespace tw::winhttp {

Request::~Request() {
    if (easy != nullptr) {
        if (inMulti)
            curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
    }
    if (multi != nullptr)
        curl_multi_cleanup(multi);
    curl_slist_free_all(httpHeaders);
    curl_slist_free_all(proxyHeaders);
}

namespace {

std::mutex& TableMutex() {
    static std::mutex m;
    return m;
}
std::unordered_map<HINTERNET, std::shared_ptr<Object>>& Table() {
    static auto* table = new std::unordered_map<HINTERNET, std::shared_ptr<Object>>();
    return *table;
}

} // namespace

HINTERNET AddHandle(const std::shared_ptr<Object>& object) {
    HINTERNET h = object.get();
    std::lock_guard<std::mutex> g(TableMutex());
    Table()[h] = object;
    RegisterHandle(h);
    return h;
}

std::shared_ptr<Object> FindHandle(HINTERNET h) {
    std::lock_guard<std::mutex> g(TableMutex());
    auto it = Table().find(h);
    return it == Table().end() ? nullptr : it->second;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

Settings InheritSettings(Object& parent) {
    std::lock_guard<std::mutex> g(parent.mutex);
    return parent.settings;
}

DWORD ExceptionError() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_WINHTTP_INTERNAL_ERROR;
    }
}

} // namespace tw::winhttp

using namespace tw;
using namespace tw::winhttp;

extern "C" {

BOOL WINAPI WinHttpCloseHandle(HINTERNET hInternet) {
    try {
        std::shared_ptr<Object> object;
        {
            std::lock_guard<std::mutex> g(TableMutex());
            auto it = Table().find(hInternet);
            if (it == Table().end())
                return Fail(ERROR_INVALID_HANDLE);
            object = std::move(it->second);
            Table().erase(it);
            UnregisterHandle(hInternet);
        }
        // A call blocked on this request in another thread ends with
        // ERROR_WINHTTP_OPERATION_CANCELLED; children keep what they share.
        object->closed = true;
        if (object->kind == Kind::Request) {
            Request& r = static_cast<Request&>(*object);
            if (r.multi != nullptr)
                curl_multi_wakeup(r.multi);
        }
        object.reset();
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    } catch (...) {
        return Fail(ExceptionError());
    }
}

} // extern "C"
