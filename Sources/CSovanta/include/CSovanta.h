/* C functions that need the platform's low-level interfaces. */
#ifndef SOVANTA_CSOVANTA_H
#define SOVANTA_CSOVANTA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the privileged open helper for path with the given open flags and
 * receives the descriptor it opened over a socket pair. Returns the descriptor,
 * or -1 with *error (when given) set to the helper's exit code, or 13. */
int sovanta_authopen(const char *helper, const char *path, int flags, int *error);

/* Block size and block count of a disk device; 0 when both were read, else -1. */
int sovanta_device_geometry(int fd, uint32_t *blockSize, uint64_t *blockCount);

/* Keeps reads of the descriptor out of the page cache. */
int sovanta_set_nocache(int fd);

#ifdef __cplusplus
}
#endif

#endif
