/* A host built as a 32-bit Visual Studio project builds it: the MSVC ABI,
 * linked with safe exception handlers on against the release archive's
 * TermBridge.lib. No C runtime (this machine has none for that ABI): the
 * Windows API and the library only. Prints the library's version. */
typedef unsigned long DWORD;
__declspec(dllimport) void* __stdcall GetStdHandle(DWORD which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* bytes, DWORD count, DWORD* written,
                                              void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);

__declspec(dllimport) const char* ver(void);

static void Write(const char* text) {
    DWORD length = 0;
    DWORD written = 0;
    while (text[length] != '\0') ++length;
    WriteFile(GetStdHandle((DWORD)-11), text, length, &written, 0);
}

void mainCRTStartup(void) {
    const char* version = ver();
    Write("termbridge ");
    Write(version);
    ExitProcess(version[0] != '\0' ? 0 : 1);
}
