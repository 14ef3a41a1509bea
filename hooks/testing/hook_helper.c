#include "hook_helper.h"

__attribute__((visibility("default"))) int hook_helper_tag(void) { return 7; }
