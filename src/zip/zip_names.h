#pragma once
// Entry names of a ZIP package: decoding their bytes and turning them into
// safe relative paths below the destination.

#include <filesystem>
#include <string>
#include <vector>

// The stored name bytes as text: UTF-8 when the entry says so (general-purpose
// flag bit 11) or when the bytes are valid UTF-8 (Info-ZIP's zip and bsdtar on
// Linux store UTF-8 names without the flag; real code page 437 names with
// letters above 0x7F are not valid UTF-8), code page 437 otherwise.
std::wstring DecodeEntryName(const std::string& bytes, bool utf8);

struct EntryPath {
    std::vector<std::wstring> components;  // never "." or ".."; empty only for "./"
    bool isDirectory = false;              // the name ended in '/' or '\'
};

// Splits a decoded name at '/' and '\'. False when the name is unsafe: empty,
// absolute, a drive or UNC prefix, a ".." component, a NUL or control
// character, or a component that Windows would read as something else (see
// IsPortableComponent). Empty and "." components are dropped.
bool SplitEntryName(const std::wstring& name, EntryPath& path);

// The entry's path relative to the destination, in the platform's form.
std::filesystem::path RelativePathOf(const EntryPath& path);

// False for components that Windows maps to another file or to a device: a
// reserved device name (CON, NUL, COM1, ...), characters that Windows forbids
// or gives a meaning (< > : " | ? * and controls; ':' also opens alternate data
// streams), and a trailing dot or space (Windows strips them, so "a." would
// land on "a"). Refused on every platform, so that a package behaves alike.
bool IsPortableComponent(const std::wstring& component);
