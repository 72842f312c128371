// The PulseAudio output against real servers: a tone written to the server
// the environment names is heard on its monitor; a private server that is
// stopped and then killed shows what Write does when the server fails.
#include <gtest/gtest.h>

#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "support/Diagnostics.h"
#include "PulseTestEnv.h"
#include "platform/posix/output/CPulseOutput.h"

namespace {

const DWORD kRate = 48000;
const DWORD kPeriod = 480;
const double kPi = 3.14159265358979323846;

// Power of one frequency in the samples (Goertzel), per sample squared.
double PowerAt(const std::vector<float> &samples, double frequency, double rate)
{
    const double coefficient = 2.0 * cos(2.0 * kPi * frequency / rate);
    double s1 = 0.0, s2 = 0.0;
    for (float x : samples) {
        const double s0 = x + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double n = (double)samples.size();
    return (s1 * s1 + s2 * s2 - coefficient * s1 * s2) / (n * n);
}

class ToneWriter {
public:
    explicit ToneWriter(double frequency) : m_step(2.0 * kPi * frequency / kRate) {}
    // One period of stereo frames, the tone at half scale or silence.
    bool Write(CAudioOutput &output, bool tone)
    {
        std::vector<float> block(kPeriod * 2);
        for (DWORD i = 0; i < kPeriod; ++i) {
            const float value = tone ? (float)(0.5 * sin(m_phase)) : 0.0f;
            m_phase += m_step;
            block[2 * i] = value;
            block[2 * i + 1] = value;
        }
        return output.Write(block.data(), kPeriod);
    }

private:
    double m_step;
    double m_phase = 0.0;
};

// `count` recorded mono samples from sample `from` on.
std::vector<float> Samples(ChildProcess &recorder, size_t from, size_t count)
{
    const std::vector<unsigned char> bytes = recorder.Output();
    std::vector<float> samples(count);
    memcpy(samples.data(), bytes.data() + from * sizeof(float), count * sizeof(float));
    return samples;
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(PulseOutput, RefusesWhatItCannotPlay)
{
    CPulseOutput output;
    float frame[2] = {};
    EXPECT_FALSE(output.Write(frame, 1)) << "not open";
    EXPECT_EQ(0u, output.GetLatencyFrames());
    EXPECT_EQ(0u, output.GetTargetFrames());
    if (!output.Connect())
        GTEST_SKIP() << "no PulseAudio server answers";
    EXPECT_FALSE(output.Open(kRate, 0, kPeriod));
    EXPECT_FALSE(output.Open(kRate, 33, kPeriod));
    ASSERT_TRUE(output.Open(kRate, 2, kPeriod));
    EXPECT_FALSE(output.Write(nullptr, 1));
    EXPECT_TRUE(output.Write(frame, 0));
    EXPECT_TRUE(output.Write(frame, 1));
    output.Close();
    EXPECT_FALSE(output.Write(frame, 1)) << "closed";
    // Six channels (5.1 in WAVE order) open as well.
    ASSERT_TRUE(output.Open(kRate, 6, kPeriod));
    float six[6] = {};
    EXPECT_TRUE(output.Write(six, 1));
}

TEST(PulseOutput, ToneIsHeardOnTheServer)
{
    std::unique_ptr<CAudioOutput> created(CAudioOutput::Create(nullptr, kRate, 2, kPeriod));
    CPulseOutput *output = dynamic_cast<CPulseOutput *>(created.get());
    if (!output)
        GTEST_SKIP() << "no PulseAudio server answers";
    output->Close();
    if (FindProgram("parec").empty())
        GTEST_SKIP() << "parec is not installed";

    // Record what the default sink plays, at our own rate, mixed to mono.
    ChildProcess recorder;
    ASSERT_TRUE(recorder.Start({"parec", "-d", "@DEFAULT_MONITOR@", "--raw", "--format=float32le",
                                "--rate=48000", "--channels=1", "--latency-msec=20"}));
    ASSERT_TRUE(recorder.WaitForBytes(4800 * sizeof(float), 10000)) << "parec records nothing";
    const size_t toneStart = recorder.Received() / sizeof(float);

    ASSERT_TRUE(output->Open(kRate, 2, kPeriod));
    ToneWriter tone(1000.0);
    const auto start = std::chrono::steady_clock::now();
    DWORD latency = 0;
    for (int i = 0; i < 50; ++i) {  // 500 ms of 1 kHz
        ASSERT_TRUE(tone.Write(*output, true));
        if (i == 40)
            latency = output->GetLatencyFrames();
    }
    const double seconds = SecondsSince(start);
    for (int i = 0; i < 20; ++i)  // and silence behind it, so that all of it plays
        ASSERT_TRUE(tone.Write(*output, false));
    printf("latency while playing %u frames, server buffer %u frames, 500 ms taken in %.3f s\n",
           latency, output->GetTargetFrames(), seconds);
    EXPECT_GT(latency, 0u) << "a playing stream has frames on their way";
    // The server paced the writes: 500 ms of audio cannot have been taken
    // much faster than it plays (its buffer holds only tens of ms).
    EXPECT_GE(seconds, 0.3);

    ASSERT_TRUE(recorder.WaitForBytes((toneStart + 48000) * sizeof(float), 10000));
    recorder.Stop();
    output->Close();

    const std::vector<float> samples = Samples(recorder, toneStart, 48000);
    double energy = 0.0;
    for (float x : samples)
        energy += (double)x * x;
    EXPECT_GT(sqrt(energy / samples.size()), 0.05) << "the tone was not heard";
    // Its pitch: 1 kHz stands far above its neighbours.
    for (double other : {500.0, 900.0, 1100.0, 2000.0})
        EXPECT_GT(PowerAt(samples, 1000.0, 48000.0), 100.0 * PowerAt(samples, other, 48000.0)) << other;
}

// A server of the test's own, so that it can be stopped and killed.
class PrivateServer {
public:
    // Its null sink at `rate` frames per second.
    bool Start(DWORD rate = 48000)
    {
        char pattern[] = "/tmp/dudidadu-pulse-XXXXXX";
        if (!mkdtemp(pattern))
            return false;
        m_dir = pattern;
        const std::string socket = m_dir + "/native";
        const std::vector<std::string> env = {"HOME=" + m_dir, "XDG_RUNTIME_DIR=" + m_dir,
                                              "XDG_CONFIG_HOME=" + m_dir};
        if (!m_process.Start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                              "--use-pid-file=no", "--disable-shm=yes", "--log-target=stderr",
                              "--load=module-null-sink sink_name=privatesink rate=" + std::to_string(rate),
                              "--load=module-native-protocol-unix socket=" + socket +
                                  " auth-anonymous=1"},
                             env))
            return false;
        m_socket = "unix:" + socket;
        m_server.reset(new ScopedPulseServer(m_socket));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            CPulseOutput probe;
            if (probe.Connect())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    void Signal(int signal) { kill(m_process.Pid(), signal); }
    // pactl's command on this server.
    bool Pactl(const std::string &arguments)
    {
        return system(("PULSE_SERVER=" + m_socket + " pactl " + arguments + " >/dev/null 2>&1").c_str()) == 0;
    }
    // The private sink's state as pactl reports it (RUNNING, IDLE, ...).
    std::string SinkState()
    {
        const std::string command = "PULSE_SERVER=" + m_socket + " pactl list short sinks | grep privatesink | cut -f5";
        char state[32] = "";
        if (FILE *pactl = popen(command.c_str(), "r")) {
            if (!fgets(state, sizeof(state), pactl))
                state[0] = 0;
            pclose(pactl);
        }
        return std::string(state, strcspn(state, "\n"));
    }
    // A recorder on the sink's monitor. It keeps the null sink's latency low:
    // an idle null sink renders up to two seconds ahead, and a stream that
    // joins it then waits that long before it is played at all.
    bool Record(ChildProcess &recorder)
    {
        return recorder.Start({"parec", "-d", "privatesink.monitor", "--raw", "--rate=48000",
                               "--channels=1", "--format=float32le", "--latency-msec=20"}) &&
               recorder.WaitForBytes(4800 * sizeof(float), 10000);
    }
    ~PrivateServer()
    {
        m_process.Stop();
        m_server.reset();
        if (!m_dir.empty()) {
            // The server leaves its socket and a few small files behind.
            const std::string command = "rm -rf '" + m_dir + "'";
            if (system(command.c_str()) != 0)
                fprintf(stderr, "could not remove %s\n", m_dir.c_str());
        }
    }

private:
    std::string m_dir;
    std::string m_socket;
    ChildProcess m_process;
    std::unique_ptr<ScopedPulseServer> m_server;
};

// Asked for no rate in particular, the output takes the sink's, so that the
// server does not resample the mix a second time; and it stays corked (the
// server plays nothing for it) while paused.
TEST(PulseOutput, OpensAtTheSinksRateAndPausesCorked)
{
    if (FindProgram("pulseaudio").empty() || FindProgram("pactl").empty())
        GTEST_SKIP() << "pulseaudio or pactl is not installed";
    for (DWORD rate : {DWORD(32000), DWORD(96000)}) {
        SCOPED_TRACE(rate);
        PrivateServer server;
        ASSERT_TRUE(server.Start(rate)) << "the private server did not come up";
        CPulseOutput output;
        ASSERT_TRUE(output.Open(0, 2, 0));
        EXPECT_EQ(rate, output.GetRate());
        std::vector<float> block(2 * rate / 100, 0.25f);
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(output.Write(block.data(), rate / 100));
        EXPECT_EQ("RUNNING", server.SinkState());
        output.Pause();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (server.SinkState() != "IDLE" && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ("IDLE", server.SinkState()) << "a paused stream still plays";
        output.Resume();
        ASSERT_TRUE(output.Write(block.data(), rate / 100));
        output.Close();
    }
}

// The first stream on an idle null sink waits for the block the sink
// rendered ahead; what it writes meanwhile is played late, never dropped.
TEST(PulseOutput, FirstStreamOnAnIdleSinkIsWaitedFor)
{
    if (FindProgram("pulseaudio").empty())
        GTEST_SKIP() << "pulseaudio is not installed";
    PrivateServer server;
    ASSERT_TRUE(server.Start()) << "the private server did not come up";
    diag::CapturedLog log;
    CPulseOutput output;
    ASSERT_TRUE(output.Open(kRate, 2, kPeriod));
    ToneWriter tone(440.0);
    for (int i = 0; i < 150; ++i)  // 1.5 s
        ASSERT_TRUE(tone.Write(output, true)) << "block " << i;
    output.Close();
    EXPECT_EQ(std::string::npos, log.Take().find("takes no sound"));
}

// Writes held up by a server that takes nothing end once the output is
// interrupted: ten seconds of audio then go in far less than ten seconds.
TEST(PulseOutput, InterruptEndsTheWaitOfWrite)
{
    if (FindProgram("pulseaudio").empty())
        GTEST_SKIP() << "pulseaudio is not installed";
    PrivateServer server;
    ASSERT_TRUE(server.Start()) << "the private server did not come up";
    CPulseOutput output;
    ASSERT_TRUE(output.Open(kRate, 2, kPeriod));
    ToneWriter tone(440.0);
    ASSERT_TRUE(tone.Write(output, true));
    server.Signal(SIGSTOP);
    std::atomic<int> written(0);
    std::thread writer([&] {
        for (int i = 0; i < 1000; ++i, ++written)
            tone.Write(output, true);
    });
    while (written.load() == 0 && writer.joinable())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto start = std::chrono::steady_clock::now();
    output.Interrupt();
    writer.join();
    const double took = SecondsSince(start);
    server.Signal(SIGCONT);
    printf("10 s of audio after the interrupt took %.3f s\n", took);
    EXPECT_LT(took, 5.0) << "Write still waits for the server";
    output.Close();
}

// A server that takes nothing: the writes keep the pace of real time, so
// that sounds end on time. One that no longer answers at all (stopped) is
// given up soon (Write fails: the device looks for it again); one that
// answers but takes nothing (its sink suspended) is waited for, and plays
// on when it takes again. A server gone for good fails Write at once.
TEST(PulseOutput, AServerThatTakesNothing)
{
    if (FindProgram("pulseaudio").empty() || FindProgram("parec").empty() || FindProgram("pactl").empty())
        GTEST_SKIP() << "pulseaudio, parec or pactl is not installed";
    const struct {
        const char *what;
        bool stopped;
    } cases[] = {{"a stopped server", true}, {"a suspended sink", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        PrivateServer server;
        ASSERT_TRUE(server.Start()) << "the private server did not come up";
        ChildProcess recorder;
        ASSERT_TRUE(server.Record(recorder)) << "parec records nothing";
        CPulseOutput output;
        ASSERT_TRUE(output.Open(kRate, 2, kPeriod));
        ToneWriter tone(440.0);
        for (int i = 0; i < 10; ++i)
            ASSERT_TRUE(tone.Write(output, true));

        if (c.stopped)
            server.Signal(SIGSTOP);
        else
            ASSERT_TRUE(server.Pactl("suspend-sink privatesink 1"));
        // Four seconds, past the point where a stalled server's frames are dropped.
        const auto start = std::chrono::steady_clock::now();
        int written = 0;
        double failed = -1.0;
        while (failed < 0.0 && SecondsSince(start) < 4.0) {
            if (tone.Write(output, true))
                ++written;
            else
                failed = SecondsSince(start);
        }
        const double took = SecondsSince(start);
        printf("%s: %d blocks of 10 ms in %.3f s; %s\n", c.what, written, took,
               failed < 0.0 ? "no failure" : ("given up after " + std::to_string(failed) + " s").c_str());
        EXPECT_LE(written * 0.010, took + 0.1) << "faster than real time";
        if (c.stopped) {
            EXPECT_GE(failed, 0.0) << "a server that does not answer is never given up";
            server.Signal(SIGCONT);
            output.Close();
            ASSERT_TRUE(output.Open(kRate, 2, kPeriod)) << "once it answers again";
        } else {
            EXPECT_LT(failed, 0.0) << "a server that answers was given up";
            ASSERT_TRUE(server.Pactl("suspend-sink privatesink 0"));
        }
        // It plays on: the recording goes on and has the tone. The server
        // may first play out what it rendered ahead, so the tone is looked
        // for over two seconds rather than at once.
        const size_t resumed = recorder.Received() / sizeof(float);
        for (int i = 0; i < 200; ++i)
            ASSERT_TRUE(tone.Write(output, true)) << "block " << i;
        EXPECT_GT(output.GetLatencyFrames(), 0u);
        ASSERT_TRUE(recorder.WaitForBytes((resumed + 192000) * sizeof(float), 10000));
        const std::vector<float> samples = Samples(recorder, resumed, 192000);
        EXPECT_GT(PowerAt(samples, 440.0, 48000.0), 100.0 * PowerAt(samples, 1000.0, 48000.0))
            << "the tone did not come back";

        if (c.stopped) {
            // Gone for good: Write reports the failure (within a few blocks).
            server.Signal(SIGKILL);
            const auto killed = std::chrono::steady_clock::now();
            bool gone = false;
            while (!gone && SecondsSince(killed) < 10.0)
                gone = !tone.Write(output, true);
            EXPECT_TRUE(gone) << "Write still succeeds with the server dead";
        }
        output.Close();
    }
}
