// What `twreg /?` and `twreg --help` print.
#pragma once

extern const char kTwregHelp[];
