/* hello.exe: prints its string 1 and the FileVersion of its own version
 * resource. Stamp new resources into it with tolvane and run it again. */
#include <windows.h>

static void put(const char *s)
{
    DWORD n;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s, (DWORD)lstrlenA(s), &n, NULL);
}

int main(void)
{
    WCHAR w[256];
    char line[512];
    int len = LoadStringW(GetModuleHandleW(NULL), 1, w, 256);
    int n = WideCharToMultiByte(CP_UTF8, 0, w, len, line, sizeof line - 2, NULL, NULL);
    line[n] = '\n';
    line[n + 1] = 0;
    put(line);

    WCHAR path[MAX_PATH];
    DWORD h, size;
    GetModuleFileNameW(NULL, path, MAX_PATH);
    size = GetFileVersionInfoSizeW(path, &h);
    static BYTE data[4096];
    VS_FIXEDFILEINFO *ffi;
    UINT fl;
    if (size && size <= sizeof data && GetFileVersionInfoW(path, 0, size, data) &&
        VerQueryValueW(data, L"\\", (void **)&ffi, &fl)) {
        wsprintfA(line, "version %u.%u.%u.%u\n",
                  HIWORD(ffi->dwFileVersionMS), LOWORD(ffi->dwFileVersionMS),
                  HIWORD(ffi->dwFileVersionLS), LOWORD(ffi->dwFileVersionLS));
        put(line);
    }
    return 0;
}
