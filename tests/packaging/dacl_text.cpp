// Prints the access list of each file or folder named on the command line in SDDL, one line
// each ("D:PAI(A;OICI;FA;;;BA)..."): what the installer set, read back through the API.
// Exit status 1 when one could not be read.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    int rc = 0;
    for (int i = 1; i < argc; ++i) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        wchar_t* text = nullptr;
        if (GetNamedSecurityInfoW(argv[i], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS ||
            !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1,
                                                                  DACL_SECURITY_INFORMATION, &text, nullptr)) {
            std::fwprintf(stderr, L"%ls: cannot read the access list (%lu)\n", argv[i], GetLastError());
            rc = 1;
        } else {
            std::wprintf(L"%ls\n", text);
        }
        if (text) LocalFree(text);
        if (sd) LocalFree(sd);
    }
    return rc;
}
