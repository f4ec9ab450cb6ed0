// Loading a shared library by path and finding its exports: the platform's
// loader, reference-counted per load.
#pragma once

#include <QString>

namespace dwnfrw {

class SharedLibrary {
  public:
    SharedLibrary() = default;
    ~SharedLibrary() { close(); }
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    bool open(const QString& path);
    void* resolve(const char* symbol) const;
    // Drops this load; the library goes when its last load is dropped.
    void close();
    // Keeps the library loaded for the rest of the program.
    void leak() { handle_ = nullptr; }

  private:
    void* handle_ = nullptr;
};

}  // namespace dwnfrw
