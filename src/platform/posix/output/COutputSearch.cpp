#include "platform/posix/output/COutputSearch.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "platform/posix/output/CFrameClock.h"
#include "platform/posix/output/CPulseOutput.h"

namespace {

// A server that does not answer within this is tried again later.
const DWORD kPatienceMs = 2000;
// After news (a socket appeared), the first tries come quicker: the server
// may not listen yet.
const DWORD kAfterNewsMs = 250;
const uint64_t kNsPerMs = 1000000u;

// Constant-initialised and never destroyed: devices ask while the process
// exits. Every field under s_lock.
pthread_mutex_t s_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t s_handlerOnce = PTHREAD_ONCE_INIT;
std::vector<std::shared_ptr<COutputSearch::CRequest>> *s_pWaiting = nullptr;
bool s_bRunning = false;
int s_wakeFd = -1;   // a request came
int s_watchFd = -1;  // the thread's inotify descriptor

class CHold {
public:
    CHold() { pthread_mutex_lock(&s_lock); }
    ~CHold() { pthread_mutex_unlock(&s_lock); }
};

// Where news would show: the directory that holds a path, or the nearest
// one above it that exists, and the name in it that is awaited.
struct SWatch {
    int wd;
    std::string awaited;
};

bool IsDirectory(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void Watch(int fd, const std::string &path, std::vector<SWatch> &watches)
{
    std::string dir = path, name;
    for (;;) {
        const size_t slash = dir.find_last_of('/');
        if (slash == std::string::npos)
            return;
        name = dir.substr(slash + 1);
        dir = slash == 0 ? "/" : dir.substr(0, slash);
        if (IsDirectory(dir))
            break;
        if (dir == "/")
            return;
    }
    const int wd = inotify_add_watch(fd, dir.c_str(),
                                     IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (wd >= 0)
        watches.push_back(SWatch{wd, name});
}

// The watches for what the requests wait for.
void Rewatch(int fd, bool server, bool alsa, std::vector<SWatch> &watches)
{
    for (const SWatch &watch : watches)
        inotify_rm_watch(fd, watch.wd);
    watches.clear();
    std::vector<std::string> sockets;
    if (server && CPulseOutput::GetServerSockets(sockets)) {
        for (const std::string &socket : sockets)
            Watch(fd, socket, watches);
    }
    if (alsa) {
        // A new card shows as a node in /dev/snd (or /dev/snd itself).
        Watch(fd, "/dev/snd/*", watches);
        if (!watches.empty() && watches.back().awaited == "*")
            watches.back().awaited.clear();
    }
}

// Whether the news is about what is awaited.
bool ReadNews(int fd, const std::vector<SWatch> &watches)
{
    alignas(inotify_event) char events[4096];
    bool news = false;
    ssize_t got;
    while ((got = read(fd, events, sizeof(events))) > 0) {
        for (ssize_t at = 0; at < got;) {
            const inotify_event *event = reinterpret_cast<const inotify_event *>(events + at);
            at += sizeof(inotify_event) + event->len;
            for (const SWatch &watch : watches) {
                if (watch.wd == event->wd &&
                    (event->len == 0 || watch.awaited.empty() || watch.awaited == event->name))
                    news = true;
            }
        }
    }
    return news;
}

// A server's socket takes connections, or cannot be told (not a local one).
bool ServerMayAnswer()
{
    std::vector<std::string> sockets;
    if (!CPulseOutput::GetServerSockets(sockets))
        return true;
    for (const std::string &path : sockets) {
        sockaddr_un address;
        memset(&address, 0, sizeof(address));
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof(address.sun_path))
            return true;
        memcpy(address.sun_path, path.c_str(), path.size());
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return true;
        const int result = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address));
        const int error = errno;
        close(fd);
        if (result == 0 || error == EINPROGRESS || error == EAGAIN)
            return true;
    }
    return false;
}

bool AcceptsServer(CAudioOutput::EKind sought)
{
    return sought == CAudioOutput::OUTPUT_DEFAULT || sought == CAudioOutput::OUTPUT_PULSE;
}

bool AcceptsAlsa(CAudioOutput::EKind sought)
{
    return sought == CAudioOutput::OUTPUT_DEFAULT || sought == CAudioOutput::OUTPUT_ALSA;
}

}  // namespace

void COutputSearch::_register_handler()
{
    pthread_atfork(nullptr, nullptr, _after_fork_in_child);
}

// The parent's requests and thread are not the child's. The lock may be
// held by one of the parent's threads: it is made anew.
void COutputSearch::_after_fork_in_child()
{
    const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    memcpy(&s_lock, &fresh, sizeof(fresh));
    s_pWaiting = nullptr;
    s_bRunning = false;
    if (s_wakeFd >= 0)
        close(s_wakeFd);
    if (s_watchFd >= 0)
        close(s_watchFd);
    s_wakeFd = -1;
    s_watchFd = -1;
}

std::shared_ptr<COutputSearch::CRequest> COutputSearch::Ask(CAudioOutput::EKind sought,
                                                             CAudioOutput::EKind wanted, DWORD rate,
                                                             void (*wake)(void *), void *context)
{
    pthread_once(&s_handlerOnce, _register_handler);
    std::shared_ptr<CRequest> request;
    try {
        request = std::make_shared<CRequest>();
        request->m_eSought = sought;
        request->m_eWanted = wanted;
        request->m_dwRate = rate;
        request->m_pfnWake = wake;
        request->m_pContext = context;
        CHold hold;
        if (!s_pWaiting)
            s_pWaiting = new std::vector<std::shared_ptr<CRequest>>;
        if (!s_bRunning) {
            if (s_wakeFd < 0)
                s_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            pthread_t thread;
            if (s_wakeFd < 0 || pthread_create(&thread, nullptr, _main, nullptr) != 0)
                return nullptr;
            pthread_detach(thread);
            s_bRunning = true;
        }
        s_pWaiting->push_back(request);
        const uint64_t one = 1;
        if (write(s_wakeFd, &one, sizeof(one)) < 0) {
        }
    } catch (...) {
        return nullptr;  // the device stays where it is
    }
    return request;
}

CAudioOutput *COutputSearch::Take(CRequest &request)
{
    CHold hold;
    CAudioOutput *found = request.m_pFound;
    request.m_pFound = nullptr;
    // Answered for good: a device that wants more asks again.
    if (found && s_pWaiting) {
        s_pWaiting->erase(std::remove_if(s_pWaiting->begin(), s_pWaiting->end(),
                                         [&request](const std::shared_ptr<CRequest> &r) { return r.get() == &request; }),
                          s_pWaiting->end());
    }
    return found;
}

void COutputSearch::Withdraw(const std::shared_ptr<CRequest> &request)
{
    if (!request)
        return;
    CAudioOutput *found = nullptr;
    {
        CHold hold;
        request->m_bWithdrawn = true;
        found = request->m_pFound;
        request->m_pFound = nullptr;
        if (s_pWaiting)
            s_pWaiting->erase(std::remove(s_pWaiting->begin(), s_pWaiting->end(), request), s_pWaiting->end());
    }
    if (found) {
        found->Close();
        delete found;
    }
}

void *COutputSearch::_main(void *)
{
    _run();
    return nullptr;
}

void COutputSearch::_run()
{
    int wakeFd;
    {
        CHold hold;
        wakeFd = s_wakeFd;
        if (s_watchFd < 0)
            s_watchFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    }
    const int watchFd = s_watchFd;
    std::vector<SWatch> watches;
    bool watchingServer = false, watchingAlsa = false;
    uint64_t pauseMs = kFirstRetryMs;
    uint64_t nextTryNs = 0;  // none planned while nobody asks
    for (;;) {
        bool server = false, alsa = false;
        {
            CHold hold;
            for (const std::shared_ptr<CRequest> &request : *s_pWaiting) {
                if (request->m_bAnswered.load())
                    continue;
                server = server || AcceptsServer(request->m_eSought);
                alsa = alsa || AcceptsAlsa(request->m_eSought);
            }
        }
        if (!server && !alsa) {
            pauseMs = kFirstRetryMs;
            nextTryNs = 0;
        } else if (nextTryNs == 0) {
            nextTryNs = CFrameClock::NowNs() + pauseMs * kNsPerMs;
        }
        if (watchFd >= 0 && (server != watchingServer || alsa != watchingAlsa)) {
            Rewatch(watchFd, server, alsa, watches);
            watchingServer = server;
            watchingAlsa = alsa;
        }

        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {watchFd, POLLIN, 0}};
        int timeoutMs = -1;
        if (nextTryNs != 0) {
            const uint64_t now = CFrameClock::NowNs();
            timeoutMs = nextTryNs <= now ? 0 : static_cast<int>((nextTryNs - now + kNsPerMs - 1) / kNsPerMs);
        }
        if (poll(fds, watchFd >= 0 ? 2 : 1, timeoutMs) < 0 && errno != EINTR)
            timeoutMs = 0;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            if (read(wakeFd, &count, sizeof(count)) < 0) {
            }
        }
        bool news = false;
        if (watchFd >= 0 && (fds[1].revents & POLLIN)) {
            news = ReadNews(watchFd, watches);
            // What was watched may have appeared, or gone: look again (the
            // watches that go say so too, but that is no news).
            if (news)
                Rewatch(watchFd, watchingServer, watchingAlsa, watches);
        }
        if (nextTryNs == 0)
            continue;
        const uint64_t now = CFrameClock::NowNs();
        if (!news && now < nextTryNs)
            continue;
        const bool thorough = !news && pauseMs >= kLongestRetryMs;
        if (_try_all(thorough) || news)
            pauseMs = news ? kAfterNewsMs : kFirstRetryMs;
        else
            pauseMs = std::min<uint64_t>(pauseMs * 2, kLongestRetryMs);
        nextTryNs = CFrameClock::NowNs() + pauseMs * kNsPerMs;
    }
}

bool COutputSearch::_try_all(bool thorough)
{
    std::vector<std::shared_ptr<CRequest>> waiting;
    {
        CHold hold;
        for (const std::shared_ptr<CRequest> &request : *s_pWaiting) {
            if (!request->m_bAnswered.load())
                waiting.push_back(request);
        }
    }
    // One answer for all: a server that is not there, or ALSA that does not
    // open, is not asked again for the next device.
    bool serverGone = !thorough && !ServerMayAnswer();
    bool alsaGone = false;
    bool found = false;
    for (const std::shared_ptr<CRequest> &request : waiting) {
        CAudioOutput *output = nullptr;
        const char *why = "";
        bool timedOut = false;
        if (AcceptsServer(request->m_eSought) && !serverGone) {
            output = CAudioOutput::OpenPreferred(CAudioOutput::OUTPUT_PULSE, request->m_dwRate, 2, 0, kPatienceMs,
                                                 &why, &timedOut);
            serverGone = output == nullptr;
            // A server that takes the connection but does not answer would
            // hold up ALSA's default device too, which goes to it on such
            // systems.
            alsaGone = alsaGone || (timedOut && request->m_eSought == CAudioOutput::OUTPUT_DEFAULT);
        }
        if (!output && AcceptsAlsa(request->m_eSought) && !alsaGone) {
            output = CAudioOutput::OpenPreferred(CAudioOutput::OUTPUT_ALSA, request->m_dwRate, 2, 0, kPatienceMs,
                                                 &why);
            alsaGone = output == nullptr;
        }
        if (!output)
            continue;
        output->SetWanted(request->m_eWanted);
        found = true;
        {
            CHold hold;
            if (!request->m_bWithdrawn) {
                request->m_pFound = output;
                request->m_bAnswered.store(true, std::memory_order_release);
                // Under the lock: once withdrawn, the device may be gone.
                request->m_pfnWake(request->m_pContext);
                output = nullptr;
            }
        }
        if (output) {
            output->Close();
            delete output;
        }
    }
    return found;
}
