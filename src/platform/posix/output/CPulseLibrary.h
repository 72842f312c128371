// libpulse, loaded at run time so that the library also loads and works on
// machines without it. The declarations below are the small part of its
// stable C ABI that the output uses, with the library's own names.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct pa_mainloop;
struct pa_context;
struct pa_stream;
struct pa_io_event;
struct pa_spawn_api;
struct pa_cvolume;
struct pa_operation;
struct pa_mainloop_api;

typedef uint64_t pa_usec_t;

struct pollfd;

enum { PA_IO_EVENT_INPUT = 1 };
typedef void (*pa_io_event_cb_t)(pa_mainloop_api *a, pa_io_event *e, int fd, int events, void *userdata);
typedef int (*pa_poll_func)(struct pollfd *fds, unsigned long count, int timeoutMs, void *userdata);

// Only the io slots are called; the order of the slots is the ABI.
struct pa_mainloop_api {
    void *userdata;
    pa_io_event *(*io_new)(pa_mainloop_api *a, int fd, int events, pa_io_event_cb_t cb, void *userdata);
    void *io_enable;
    void (*io_free)(pa_io_event *e);
    void *io_set_destroy;
    void *time_new;
    void *time_restart;
    void *time_free;
    void *time_set_destroy;
    void *defer_new;
    void *defer_enable;
    void *defer_free;
    void *defer_set_destroy;
    void *quit;
};

enum { PA_SAMPLE_FLOAT32LE = 5 };
enum { PA_CHANNELS_MAX = 32 };
enum { PA_CHANNEL_MAP_WAVEEX = 3 };
enum { PA_CONTEXT_NOAUTOSPAWN = 0x1 };
enum { PA_SEEK_RELATIVE = 0 };
enum { PA_OPERATION_RUNNING = 0 };

enum {
    PA_CONTEXT_UNCONNECTED,
    PA_CONTEXT_CONNECTING,
    PA_CONTEXT_AUTHORIZING,
    PA_CONTEXT_SETTING_NAME,
    PA_CONTEXT_READY,
    PA_CONTEXT_FAILED,
    PA_CONTEXT_TERMINATED
};

enum {
    PA_STREAM_UNCONNECTED,
    PA_STREAM_CREATING,
    PA_STREAM_READY,
    PA_STREAM_FAILED,
    PA_STREAM_TERMINATED
};

enum {
    PA_STREAM_START_CORKED = 0x0001,
    PA_STREAM_ADJUST_LATENCY = 0x2000
};

struct pa_sample_spec {
    int format;
    uint32_t rate;
    uint8_t channels;
};

struct pa_channel_map {
    uint8_t channels;
    int map[PA_CHANNELS_MAX];
};

struct pa_buffer_attr {
    uint32_t maxlength;
    uint32_t tlength;
    uint32_t prebuf;
    uint32_t minreq;
    uint32_t fragsize;
};

// The head of the records the server describes itself and a sink with;
// only these first fields are read, and their layout is the ABI.
struct pa_sink_info {
    const char *name;
    uint32_t index;
    const char *description;
    pa_sample_spec sample_spec;
};

typedef void (*pa_sink_info_cb_t)(pa_context *c, const pa_sink_info *info, int eol, void *userdata);
typedef void (*pa_stream_success_cb_t)(pa_stream *s, int success, void *userdata);
typedef void (*pa_free_cb_t)(void *p);

class CPulseLibrary {
public:
    // The process-wide library, or null when libpulse (or one of the entry
    // points below) is missing. Loaded once and never unloaded: libpulse
    // keeps thread-local and atexit state that must outlive every user.
    static const CPulseLibrary *Get();

    // The plain main loop: it runs on the thread that uses the output, so
    // that no thread of libpulse's own wakes with it.
    pa_mainloop *(*mainloop_new)(void);
    void (*mainloop_free)(pa_mainloop *m);
    pa_mainloop_api *(*mainloop_get_api)(pa_mainloop *m);
    int (*mainloop_prepare)(pa_mainloop *m, int timeoutUs);
    int (*mainloop_poll)(pa_mainloop *m);
    int (*mainloop_dispatch)(pa_mainloop *m);
    void (*mainloop_set_poll_func)(pa_mainloop *m, pa_poll_func poll, void *userdata);

    pa_context *(*context_new)(pa_mainloop_api *api, const char *name);
    void (*context_unref)(pa_context *c);
    int (*context_connect)(pa_context *c, const char *server, int flags, const pa_spawn_api *api);
    void (*context_disconnect)(pa_context *c);
    int (*context_get_state)(const pa_context *c);
    pa_operation *(*context_get_sink_info_by_name)(pa_context *c, const char *name, pa_sink_info_cb_t cb,
                                                   void *userdata);
    void (*operation_unref)(pa_operation *o);
    void (*operation_cancel)(pa_operation *o);
    int (*operation_get_state)(const pa_operation *o);

    pa_stream *(*stream_new)(pa_context *c, const char *name, const pa_sample_spec *ss,
                             const pa_channel_map *map);
    void (*stream_unref)(pa_stream *s);
    int (*stream_connect_playback)(pa_stream *s, const char *dev, const pa_buffer_attr *attr,
                                   int flags, const pa_cvolume *volume, pa_stream *syncStream);
    int (*stream_disconnect)(pa_stream *s);
    int (*stream_get_state)(const pa_stream *s);
    size_t (*stream_writable_size)(const pa_stream *s);
    int (*stream_write)(pa_stream *s, const void *data, size_t nbytes, pa_free_cb_t freeCb,
                        int64_t offset, int seek);
    int (*stream_get_latency)(pa_stream *s, pa_usec_t *usec, int *negative);
    const pa_buffer_attr *(*stream_get_buffer_attr)(pa_stream *s);
    pa_operation *(*stream_cork)(pa_stream *s, int b, pa_stream_success_cb_t cb, void *userdata);
    pa_operation *(*stream_flush)(pa_stream *s, pa_stream_success_cb_t cb, void *userdata);
    pa_operation *(*stream_trigger)(pa_stream *s, pa_stream_success_cb_t cb, void *userdata);
    pa_operation *(*stream_update_timing_info)(pa_stream *s, pa_stream_success_cb_t cb, void *userdata);
    pa_channel_map *(*channel_map_init_auto)(pa_channel_map *m, unsigned channels, int def);
    // Missing from old libpulse versions: then null.
    pa_channel_map *(*channel_map_init_extend)(pa_channel_map *m, unsigned channels, int def);

private:
    CPulseLibrary();
    static void _load_once();
    bool Load();

    bool m_loaded;
};
