/* Built against dudidadu (an installation, a package or the source tree): the
 * header compiles as C, the library links and loads, and its handle checks
 * answer without a device. */
#include <dudidadu.h>
#include <stdio.h>

int main(void)
{
    if (DSoundInitialize(NULL, NULL) != NULL || DSoundIsPlaying(NULL) != 0 ||
        DSoundGetFrequency(NULL) != 0) {
        fputs("consumer: a null window or handle was accepted\n", stderr);
        return 1;
    }
    printf("consumer: dudidadu %s linked and answered\n", DUDIDADU_VERSION_STRING);
    return 0;
}
