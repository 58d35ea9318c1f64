// Defines BufferEncode and points it at the stand-in daemon's record when a
// program that links this library starts; it stays null when no daemon has
// created the record. The record is mapped read-only: only the daemon writes it.
#include "apisim_state.h"

#include <sys/ipc.h>
#include <sys/shm.h>

__attribute__((visibility("default"))) BUFFER_ENCODE_T* BufferEncode = nullptr;

namespace {

__attribute__((constructor)) void attach_state() {
    const int id = shmget(APISIM_STATE_KEY, sizeof(BUFFER_ENCODE_T), 0);
    if (id < 0) return;
    void* p = shmat(id, nullptr, SHM_RDONLY);
    if (p != reinterpret_cast<void*>(-1)) BufferEncode = static_cast<BUFFER_ENCODE_T*>(p);
}

}  // namespace
