/* Reads an executable's resources as the platform finds them, loading the image as a data file.
 * usage: resource_reader manifest FILE
 *          prints the application manifest (resource 1 of type RT_MANIFEST)
 *        resource_reader message FILE ID [STRING...]
 *          prints the message of event ID with the strings inserted, as Event Viewer shows it */
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

int main(int argc, char** argv) {
    const int manifest = argc == 3 && strcmp(argv[1], "manifest") == 0;
    const int message = argc >= 4 && strcmp(argv[1], "message") == 0;
    if (!manifest && !message) {
        fprintf(stderr, "usage: resource_reader manifest FILE | message FILE ID [STRING...]\n");
        return 2;
    }
    HMODULE image = LoadLibraryExA(argv[2], NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (image == NULL) {
        fprintf(stderr, "resource_reader: cannot load %s: %lu\n", argv[2], GetLastError());
        return 1;
    }
    return manifest ? Manifest(image) : Message(image, strtoul(argv[3], NULL, 0), argv + 4);
}
