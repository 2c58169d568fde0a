/* Prints the application manifest embedded in an executable, as the loader finds it.
 * usage: manifest_reader FILE */
#include <stdio.h>
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: manifest_reader FILE\n");
        return 2;
    }
    HMODULE image = LoadLibraryExA(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (image == NULL) {
        fprintf(stderr, "manifest_reader: cannot load %s: %lu\n", argv[1], GetLastError());
        return 1;
    }
    HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    HGLOBAL loaded = found != NULL ? LoadResource(image, found) : NULL;
    const void* data = loaded != NULL ? LockResource(loaded) : NULL;
    if (data == NULL) {
        fprintf(stderr, "manifest_reader: no manifest resource 1\n");
        return 1;
    }
    fwrite(data, 1, SizeofResource(image, found), stdout);
    return 0;
}
