#pragma once
// Small owners for Win32 handles and GDI objects: each releases its object in
// its destructor, so every path out of a function, including a raised error,
// gives back what the function took.

#include <windows.h>

#include <utility>

// A kernel handle closed with CloseHandle. Accepts both null and
// INVALID_HANDLE_VALUE as "nothing held", as the Win32 calls return either.
class HandleGuard {
public:
    explicit HandleGuard(HANDLE handle = nullptr) : handle_(handle) {}
    ~HandleGuard() { Close(); }
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void Close() {
        if (Valid())
            CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_;
};

// A memory block from GlobalAlloc, freed with GlobalFree unless given away.
class GlobalMemoryGuard {
public:
    explicit GlobalMemoryGuard(HGLOBAL block) : block_(block) {}
    ~GlobalMemoryGuard() {
        if (block_ != nullptr)
            GlobalFree(block_);
    }
    GlobalMemoryGuard(const GlobalMemoryGuard&) = delete;
    GlobalMemoryGuard& operator=(const GlobalMemoryGuard&) = delete;

    HGLOBAL Get() const { return block_; }
    // Gives the block away (for example to a stream that frees it).
    HGLOBAL Release() { return std::exchange(block_, nullptr); }

private:
    HGLOBAL block_;
};

// A directory enumeration from FindFirstFileW, closed with FindClose.
class FindGuard {
public:
    explicit FindGuard(HANDLE find) : find_(find) {}
    ~FindGuard() {
        if (find_ != INVALID_HANDLE_VALUE)
            FindClose(find_);
    }
    FindGuard(const FindGuard&) = delete;
    FindGuard& operator=(const FindGuard&) = delete;

    HANDLE Get() const { return find_; }
    bool Valid() const { return find_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE find_;
};

// A loaded module, freed with FreeLibrary.
class LibraryGuard {
public:
    explicit LibraryGuard(HMODULE module) : module_(module) {}
    ~LibraryGuard() {
        if (module_)
            FreeLibrary(module_);
    }
    LibraryGuard(const LibraryGuard&) = delete;
    LibraryGuard& operator=(const LibraryGuard&) = delete;

    HMODULE Get() const { return module_; }

private:
    HMODULE module_;
};

// A GDI object (pen, brush, font, bitmap, region) deleted with DeleteObject.
class GdiObjectGuard {
public:
    explicit GdiObjectGuard(HGDIOBJ object = nullptr) : object_(object) {}
    ~GdiObjectGuard() {
        if (object_)
            DeleteObject(object_);
    }
    GdiObjectGuard(const GdiObjectGuard&) = delete;
    GdiObjectGuard& operator=(const GdiObjectGuard&) = delete;

    HGDIOBJ Get() const { return object_; }
    void Reset(HGDIOBJ object = nullptr) {
        if (object_)
            DeleteObject(object_);
        object_ = object;
    }
    // Gives the object away (for example to SetWindowRgn, which takes ownership).
    HGDIOBJ Release() { return std::exchange(object_, nullptr); }

private:
    HGDIOBJ object_;
};

// An icon destroyed with DestroyIcon.
class IconGuard {
public:
    explicit IconGuard(HICON icon = nullptr) : icon_(icon) {}
    ~IconGuard() {
        if (icon_)
            DestroyIcon(icon_);
    }
    IconGuard(const IconGuard&) = delete;
    IconGuard& operator=(const IconGuard&) = delete;

    HICON Get() const { return icon_; }
    void Reset(HICON icon = nullptr) {
        if (icon_)
            DestroyIcon(icon_);
        icon_ = icon;
    }

private:
    HICON icon_;
};

// A memory device context deleted with DeleteDC.
class DcGuard {
public:
    explicit DcGuard(HDC dc) : dc_(dc) {}
    ~DcGuard() {
        if (dc_)
            DeleteDC(dc_);
    }
    DcGuard(const DcGuard&) = delete;
    DcGuard& operator=(const DcGuard&) = delete;

    HDC Get() const { return dc_; }

private:
    HDC dc_;
};

// Selects an object into a DC and selects the previous one back on exit.
// Declare it after the guard that owns the object, so the object is selected
// out before it is deleted.
class SelectGuard {
public:
    SelectGuard(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~SelectGuard() {
        if (previous_ && previous_ != HGDI_ERROR)
            SelectObject(dc_, previous_);
    }
    SelectGuard(const SelectGuard&) = delete;
    SelectGuard& operator=(const SelectGuard&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// Runs a clean-up action when the scope ends, unless dismissed.
template <class Action> class ScopeExit {
public:
    explicit ScopeExit(Action action) : action_(std::move(action)) {}
    ~ScopeExit() {
        if (armed_)
            action_();
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

    void Dismiss() { armed_ = false; }

private:
    Action action_;
    bool armed_ = true;
};
