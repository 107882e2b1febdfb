/* A C11 caller of the installed library: the public header must compile
 * under -std=c11 -pedantic-errors and the library must link and answer. */
#include <oruDiskLib.h>

#include <stdio.h>
#include <string.h>

static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

int main(void) {
    oruDiskLibHandle handle = NULL;
    check(oruDiskLib_Init(&handle) == ORU_OK && handle != NULL, "Init");
    check(oruDiskLib_Finalize(&handle) == ORU_OK, "Finalize");

    check(strcmp(oruDiskLib_GetVersion(), "1.5.0") == 0, "GetVersion");
    check(strcmp(oruDiskLib_GetTransportMode(), "nbd:lanfree:file") == 0, "GetTransportMode");
    check(strcmp(oruDiskLib_GetErrorText(ORU_E_PARAMS), "Parameters are not completed") == 0,
          "GetErrorText");
    check(strcmp(oruDiskLib_GetErrorText(ORU_E_RAW_READ), rawerror) == 0, "rawerror slot");
    check(nbderror[0] == '\0' && sizeof nbderror == 100, "nbderror slot");

    /* Formats and open flags are nameable from C. */
    SDK_TYPE format = ORU_LUKS;
    oruDiskLibVolume volume = {0};
    volume.diskFormat = format;
    check(volume.diskFormat == 2 && ORU_QCOW == 0 && ORU_RAW == 1, "SDK_TYPE");
    check(ORU_RO == 1 && ORU_WO == 2 && ORU_RW == 3, "open flags");
    check(sizeof(oruDiskLibSectorType) == 8, "sector type");

    FILE *log = tmpfile();
    check(log != NULL, "tmpfile");
    if (log) {
        char first[] = "read failed:", second[] = "from C";
        char line[128] = {0};
        oruDiskLib_Log(log, first, second);
        rewind(log);
        check(fgets(line, sizeof line, log) != NULL && strstr(line, "] - read failed::from C\n") != NULL,
              "Log");
        fclose(log);
    }
    if (failures == 0) printf("C consumer: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
