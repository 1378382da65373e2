/* Compiled as C: the host-facing header must serve C hosts too. */
#include <stdio.h>
#include <zykim/zykim.h>

int main(void) {
    ScanCallbackInfo info;
    (void)info;
    printf("%u\n", (unsigned)SetCheckLimit(2));
    return SetISocket(NULL) == NULL ? 0 : 1;
}
