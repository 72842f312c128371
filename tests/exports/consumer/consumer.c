/* Built against an installed dudidadu (CMake package or pkg-config): the
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
    puts("consumer: dudidadu linked and answered");
    return 0;
}
