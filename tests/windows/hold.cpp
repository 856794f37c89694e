// hold FILE read|write: keeps FILE open as another program would, an editor
// or a viewer, so that the cases can dump over a file in use. It shares the
// file for reading, and with `write` for writing too, but never for deleting:
// nothing can take the file's name while it is held. Prints "holding" once it
// has the file, and lets go when its standard input ends. Status 1, with the
// system's error number, if the file cannot be opened so.
#include <cstdio>
#include <cwchar>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: hold FILE read|write\n", stderr);
        return 2;
    }
    DWORD sharing = FILE_SHARE_READ | (std::wcscmp(argv[2], L"write") == 0 ? FILE_SHARE_WRITE : 0);
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hold: can't open the file: error %lu\n", GetLastError());
        return 1;
    }
    std::puts("holding");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    CloseHandle(file);
    return 0;
}
