/* Reads an executable's resources as the platform finds them, loading the image as a data file.
 * usage: resource_reader manifest FILE
 *          prints the application manifest (resource 1 of type RT_MANIFEST)
 *        resource_reader message FILE ID [STRING...]
 *          prints the message of event ID with the strings inserted, as Event Viewer shows it
 *        resource_reader version FILE
 *          prints the fixed file and product versions and the US English strings of the version
 *          resource, as Explorer's file properties and AppLocker read them, one NAME=VALUE a line,
 *          then the language of its first translation, in decimal, as a File table's Language */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static int Manifest(HMODULE image) {
    HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    HGLOBAL loaded = found != NULL ? LoadResource(image, found) : NULL;
    const void* data = loaded != NULL ? LockResource(loaded) : NULL;
    if (data == NULL) {
        fprintf(stderr, "resource_reader: no manifest resource 1\n");
        return 1;
    }
    fwrite(data, 1, SizeofResource(image, found), stdout);
    return 0;
}

static int Message(HMODULE image, DWORD id, char** strings) {
    char* text = NULL;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
            FORMAT_MESSAGE_ARGUMENT_ARRAY,
        image, id, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&text, 0, (va_list*)strings);
    if (length == 0) {
        fprintf(stderr, "resource_reader: no message %lu: %lu\n", id, GetLastError());
        return 1;
    }
    fputs(text, stdout);
    LocalFree(text);
    return 0;
}

static int Version(const char* file) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(file, &ignored);
    char* data = size != 0 ? malloc(size) : NULL;
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    if (data == NULL || !GetFileVersionInfoA(file, 0, size, data) ||
        !VerQueryValueA(data, "\\", (void**)&fixed, &length)) {
        fprintf(stderr, "resource_reader: no version resource: %lu\n", GetLastError());
        free(data);
        return 1;
    }
    printf("FILEVERSION=%lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16,
           fixed->dwFileVersionMS & 0xffff, fixed->dwFileVersionLS >> 16,
           fixed->dwFileVersionLS & 0xffff);
    printf("PRODUCTVERSION=%lu.%lu.%lu.%lu\n", fixed->dwProductVersionMS >> 16,
           fixed->dwProductVersionMS & 0xffff, fixed->dwProductVersionLS >> 16,
           fixed->dwProductVersionLS & 0xffff);
    static const char* const names[] = {"CompanyName",      "FileDescription", "FileVersion",
                                        "InternalName",     "LegalCopyright",  "OriginalFilename",
                                        "ProductName",      "ProductVersion"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        char query[64];
        char* value = NULL;
        snprintf(query, sizeof query, "\\StringFileInfo\\040904B0\\%s", names[i]);
        if (VerQueryValueA(data, query, (void**)&value, &length) && length > 0) {
            printf("%s=%s\n", names[i], value);
        }
    }
    WORD* translation = NULL;
    if (VerQueryValueA(data, "\\VarFileInfo\\Translation", (void**)&translation, &length) &&
        length >= 2 * sizeof(WORD)) {
        printf("LANGUAGE=%u\n", (unsigned)translation[0]);
    }
    free(data);
    return 0;
}

int main(int argc, char** argv) {
    const int manifest = argc == 3 && strcmp(argv[1], "manifest") == 0;
    const int message = argc >= 4 && strcmp(argv[1], "message") == 0;
    if (argc == 3 && strcmp(argv[1], "version") == 0) {
        return Version(argv[2]);
    }
    if (!manifest && !message) {
        fprintf(stderr, "usage: resource_reader manifest FILE | message FILE ID [STRING...] | "
                        "version FILE\n");
        return 2;
    }
    HMODULE image = LoadLibraryExA(argv[2], NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (image == NULL) {
        fprintf(stderr, "resource_reader: cannot load %s: %lu\n", argv[2], GetLastError());
        return 1;
    }
    return manifest ? Manifest(image) : Message(image, strtoul(argv[3], NULL, 0), argv + 4);
}
