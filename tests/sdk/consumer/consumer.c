/* Calls the library through its installed header: the version, and the
 * answers of a library that is not initialized. Prints the version; exits 1
 * when an answer is not the documented one. */
#include <stdio.h>
#include <string.h>

#include <termbridge.h>

int main(void) {
    const char* version = ver();
    const int ok = getResultLen() == -1 &&
                   strcmp(getFailureMessage(), "Fatal Error!!! Console Application isn't Ready!!!!") == 0;
    printf("termbridge %s", version);
    return ok ? 0 : 1;
}
