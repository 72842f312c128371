#include "platform/posix/output/CPulseLibrary.h"

#include <dlfcn.h>
#include <pthread.h>

#include <new>

CPulseLibrary::CPulseLibrary() : m_loaded(false)
{
    m_loaded = Load();
}

namespace {

// Loaded under pthread_once rather than as a function's static: a fork in
// the middle of the load would leave a static's guard held for good in the
// child, where pthread_once starts over. Never freed, for the mixer
// threads that still run while the process exits.
pthread_once_t s_once = PTHREAD_ONCE_INIT;
const CPulseLibrary *s_pLibrary = nullptr;

}  // namespace

void CPulseLibrary::_load_once()
{
    const CPulseLibrary *library = new (std::nothrow) CPulseLibrary;
    if (library != nullptr && !library->m_loaded) {
        delete library;
        library = nullptr;
    }
    s_pLibrary = library;
}

const CPulseLibrary *CPulseLibrary::Get()
{
    pthread_once(&s_once, _load_once);
    return s_pLibrary;
}

namespace {

template <typename T> bool Bind(void *handle, const char *name, T &entry)
{
    entry = reinterpret_cast<T>(dlsym(handle, name));
    return entry != nullptr;
}

}  // namespace

bool CPulseLibrary::Load()
{
    void *handle = dlopen("libpulse.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return false;
    const bool bound =
        Bind(handle, "pa_mainloop_new", mainloop_new) &&
        Bind(handle, "pa_mainloop_free", mainloop_free) &&
        Bind(handle, "pa_mainloop_get_api", mainloop_get_api) &&
        Bind(handle, "pa_mainloop_prepare", mainloop_prepare) &&
        Bind(handle, "pa_mainloop_poll", mainloop_poll) &&
        Bind(handle, "pa_mainloop_dispatch", mainloop_dispatch) &&
        Bind(handle, "pa_mainloop_set_poll_func", mainloop_set_poll_func) &&
        Bind(handle, "pa_context_new", context_new) &&
        Bind(handle, "pa_context_unref", context_unref) &&
        Bind(handle, "pa_context_connect", context_connect) &&
        Bind(handle, "pa_context_disconnect", context_disconnect) &&
        Bind(handle, "pa_context_get_state", context_get_state) &&
        Bind(handle, "pa_context_get_sink_info_by_name", context_get_sink_info_by_name) &&
        Bind(handle, "pa_operation_unref", operation_unref) &&
        Bind(handle, "pa_operation_cancel", operation_cancel) &&
        Bind(handle, "pa_operation_get_state", operation_get_state) &&
        Bind(handle, "pa_stream_new", stream_new) &&
        Bind(handle, "pa_stream_unref", stream_unref) &&
        Bind(handle, "pa_stream_connect_playback", stream_connect_playback) &&
        Bind(handle, "pa_stream_disconnect", stream_disconnect) &&
        Bind(handle, "pa_stream_get_state", stream_get_state) &&
        Bind(handle, "pa_stream_writable_size", stream_writable_size) &&
        Bind(handle, "pa_stream_write", stream_write) &&
        Bind(handle, "pa_stream_get_latency", stream_get_latency) &&
        Bind(handle, "pa_stream_get_buffer_attr", stream_get_buffer_attr) &&
        Bind(handle, "pa_stream_cork", stream_cork) &&
        Bind(handle, "pa_stream_flush", stream_flush) &&
        Bind(handle, "pa_stream_trigger", stream_trigger) &&
        Bind(handle, "pa_stream_update_timing_info", stream_update_timing_info) &&
        Bind(handle, "pa_channel_map_init_auto", channel_map_init_auto);
    if (!bound) {
        dlclose(handle);
        return false;
    }
    Bind(handle, "pa_channel_map_init_extend", channel_map_init_extend);
    return true;
}
