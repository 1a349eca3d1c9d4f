#include "rules/working_names.h"

#include "base/atomic_file.h"

const Safelist& InstallWorkingNames() {
    static const Safelist names{L"_update_temp", L"update.zip", L"updater.log", L"updater.log.ts",
        L"__remote_version.txt", L"__maps_pending", kInstalledIndexName, kInstalledIndexTemporary, L"update.zip.part",
        L"__remote_version.txt.part", L"*.resume.part", std::wstring(L"*") + kPlacingSuffix, L"Updater.exe.old",
        L"Updater.old"};
    return names;
}

const Safelist& DataWorkingNames() {
    static const Safelist names{L"__maps.zip", L"__maps.zip.part", L"__maps.zip.resume.part"};
    return names;
}
