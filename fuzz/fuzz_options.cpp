// The checker's command line: the input is its arguments, separated by zero
// bytes. Every option's record is formatted into the log.
#include "checker/options.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    twfuzz::OpenNullLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    twfuzz::Arguments args(data, size, "twprereqhandler");
    ParseArguments(args.argc(), args.argv());
    FreeCheckerOptions();
    gv_options = CheckerOptions();
    return 0;
}
