#include "startup/shared_library.h"

#include <QFile>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace dwnfrw {

bool SharedLibrary::open(const QString& path) {
    close();
#if defined(_WIN32)
    handle_ = LoadLibraryW(reinterpret_cast<const wchar_t*>(path.utf16()));
#else
    handle_ = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
#endif
    return handle_ != nullptr;
}

void* SharedLibrary::resolve(const char* symbol) const {
    if (handle_ == nullptr)
        return nullptr;
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), symbol));
#else
    return dlsym(handle_, symbol);
#endif
}

void SharedLibrary::close() {
    if (handle_ == nullptr)
        return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
    handle_ = nullptr;
}

}  // namespace dwnfrw
