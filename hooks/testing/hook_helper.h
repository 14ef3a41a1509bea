/* A library a test hook module depends on; it sits in the module's folder. */
#ifndef KESTRO_HOOK_HELPER_H
#define KESTRO_HOOK_HELPER_H

int hook_helper_tag(void);

#endif
