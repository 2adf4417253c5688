// vora view, run as a program against simulated cameras of this process:
// its page in a real browser (tests/browser/view_page.mjs), and its server
// spoken to over HTTP: what its frames hold, that a page gets the newest
// frame and never a backlog, pages at once and pages that stop reading,
// controls and saving, hostile requests, and that the camera is free again
// however the viewer ends.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <png.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "eventually.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "sim_scene.h"
#include "tsan_suppressions.h"
#include "vora_qelcamera_api.h"

namespace {

// Sanitizers slow the viewer, the simulated camera and the browser several
// times over, and a loaded machine more: every deadline here is a generous
// bound on an event the test waits for, scaled by the build's slowdown
// (tests/CMakeLists.txt).
constexpr int kSlowdown = kTestSlowdown;

std::chrono::seconds scaled(int seconds)
{
    return std::chrono::seconds(seconds * kSlowdown);
}

using vora_test::Child;
using vora_test::Outcome;
using vora_test::TempDir;

std::string vora_path()
{
    const std::string library = VORA_LIBRARY_PATH;
    return library.substr(0, library.rfind('/')) + "/vora";
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A frame message as the page reads it: the header's fields at their
// offsets, then the arrays its flags name.
struct Message {
    uint16_t kind = 0, channel = 0, flags = 0;
    uint32_t seq = 0, width = 0, height = 0, step = 0, frame_width = 0, frame_height = 0;
    float scale = 0, near_mm = 0, far_mm = 0;
    std::vector<int16_t> points;
    std::vector<uint8_t> depth_colours, fused_colours, rgb;
};

template <typename T>
T field(const std::string& b, size_t offset)
{
    T v;
    std::memcpy(&v, b.data() + offset, sizeof v);
    return v;
}

::testing::AssertionResult decode(const std::string& b, Message* m)
{
    if (b.size() < 64 || b.compare(0, 4, "VORF") != 0 || field<uint16_t>(b, 4) != 1)
        return ::testing::AssertionFailure() << "no frame header in " << b.size() << " bytes";
    m->kind = field<uint16_t>(b, 6);
    m->channel = field<uint16_t>(b, 8);
    m->flags = field<uint16_t>(b, 10);
    m->seq = field<uint32_t>(b, 12);
    m->width = field<uint32_t>(b, 16);
    m->height = field<uint32_t>(b, 20);
    m->step = field<uint32_t>(b, 24);
    m->frame_width = field<uint32_t>(b, 28);
    m->frame_height = field<uint32_t>(b, 32);
    m->scale = field<float>(b, 36);
    m->near_mm = field<float>(b, 40);
    m->far_mm = field<float>(b, 44);
    const size_t n = static_cast<size_t>(m->width) * m->height;
    size_t at = 64;
    auto take = [&](auto& out, size_t count) {
        using T = typename std::decay_t<decltype(out)>::value_type;
        if (at + count * sizeof(T) > b.size())
            return false;
        out.resize(count);
        std::memcpy(out.data(), b.data() + at, count * sizeof(T));
        at += count * sizeof(T);
        return true;
    };
    bool ok = true;
    if (m->kind == 1) {
        ok = (!(m->flags & 1) || take(m->points, 3 * n)) && (!(m->flags & 2) || take(m->depth_colours, 3 * n)) &&
             (!(m->flags & 4) || take(m->fused_colours, 3 * n));
    } else {
        ok = take(m->rgb, 3 * n);
    }
    if (!ok || at != b.size())
        return ::testing::AssertionFailure() << "arrays do not fill the " << b.size() << " bytes";
    return ::testing::AssertionSuccess();
}

// Resident memory of a process, in bytes.
long long rss_of(pid_t pid)
{
    std::istringstream status(slurp("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoll(line.substr(6)) * 1024;
    return -1;
}

// Width and height of a PNG that libpng reads whole.
bool png_loads(const std::string& path, uint32_t* width, uint32_t* height)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return false;
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    const bool ok = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0;
    *width = image.width;
    *height = image.height;
    png_image_free(&image);
    return ok;
}

// A saved file read back as a reader would: PNGs decoded whole, the
// clouds' headers against their sizes, a BMP's header against its file.
::testing::AssertionResult loads(const std::string& path)
{
    const auto ends = [&](const std::string& tail) {
        return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
    };
    const std::string bytes = slurp(path);
    if (ends(".png")) {
        uint32_t w = 0, h = 0;
        return png_loads(path, &w, &h) && w > 0 && h > 0 ? ::testing::AssertionSuccess()
                                                         : ::testing::AssertionFailure() << "libpng cannot read it";
    }
    std::smatch m;
    if (ends(".pcd")) {
        const size_t data = bytes.find("DATA binary\r\n");
        const std::string header = bytes.substr(0, data);
        if (data == std::string::npos || !std::regex_search(header, m, std::regex(R"(POINTS (\d+))")))
            return ::testing::AssertionFailure() << "no PCD header";
        const size_t points = std::stoul(m[1]);
        size_t point_bytes = 0;
        if (std::regex_search(header, m, std::regex(R"(SIZE ([\d ]+))"))) {
            std::istringstream sizes(m[1].str());
            for (size_t v; sizes >> v;)
                point_bytes += v;
        }
        if (points == 0 || bytes.size() - data - 13 != points * point_bytes)
            return ::testing::AssertionFailure()
                   << points << " points of " << point_bytes << " bytes in " << bytes.size() - data - 13;
        return ::testing::AssertionSuccess();
    }
    if (ends(".ply")) {
        const size_t end = bytes.find("end_header\n");
        const std::string header = bytes.substr(0, end);
        if (end == std::string::npos || !std::regex_search(header, m, std::regex(R"(element vertex (\d+))")))
            return ::testing::AssertionFailure() << "no PLY header";
        const size_t vertices = std::stoul(m[1]);
        const auto count = [&](const std::string& what) {
            size_t n = 0;
            for (size_t at = header.find(what); at != std::string::npos; at = header.find(what, at + 1))
                ++n;
            return n;
        };
        const size_t floats = count("property float"), uchars = count("property uchar");
        if (vertices == 0 || bytes.size() - end - 11 != vertices * (4 * floats + uchars))
            return ::testing::AssertionFailure() << vertices << " vertices do not fill the file";
        return ::testing::AssertionSuccess();
    }
    if (ends(".bmp")) {
        if (bytes.size() < 54 || bytes.compare(0, 2, "BM") != 0 || field<uint32_t>(bytes, 2) != bytes.size() ||
            field<int32_t>(bytes, 18) <= 0 || field<int32_t>(bytes, 22) == 0)
            return ::testing::AssertionFailure() << "not a whole BMP";
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no reader for it";
}

// A raw connection, for what a well-behaved client would not send.
class RawConnection {
public:
    explicit RawConnection(int port, int receive_buffer = 0)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (receive_buffer)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawConnection() { close(fd_); }
    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    bool send_text(const std::string& text)
    {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // Everything until the server closes, for at most `limit`.
    std::string read_all(std::chrono::seconds limit)
    {
        std::string all;
        const auto end = std::chrono::steady_clock::now() + limit;
        char buf[4096];
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0)
                continue;
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            all.append(buf, static_cast<size_t>(n));
        }
        return all;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

// Frames the viewer holds per channel for the save button.
constexpr unsigned FrameHistory = 3;

class VoraView : public ::testing::Test {
protected:
    vsim::SimCamera& camera(vsim::SimConfig config = vsim::SimConfig())
    {
        // The camera, in this process, and the viewer are both slowed by a
        // sanitizer: at full rate they would leave the camera's control
        // channel too little of a loaded machine to answer in time, and the
        // viewer would give it up as lost.
        config.frame_rate /= kSlowdown;
        sim_ = std::make_unique<vsim::SimCamera>(config);
        EXPECT_EQ(sim_->start(), 0);
        return *sim_;
    }

    // Sensor regions of w x h, so that frames are quick to check.
    void regions(uint32_t width, uint32_t height)
    {
        for (uint32_t s = 0; s < 3; ++s) {
            sim_->write_reg(vsim::SENSOR_BASE + s * vsim::SENSOR_STRIDE + vsim::SN_WIDTH, width);
            sim_->write_reg(vsim::SENSOR_BASE + s * vsim::SENSOR_STRIDE + vsim::SN_HEIGHT, height);
        }
    }

    // Starts `vora view --port 0 ARGS` and waits for the address it serves.
    ::testing::AssertionResult view(std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {"view", "--port", "0", "--out", out_.path() + "/saved"});
        viewer_ = std::make_unique<Child>(vora_path(), args);
        std::smatch m;
        const bool up = viewer_->wait_for(
            [&](const Outcome& o) {
                return std::regex_search(o.out, m, std::regex(R"(at http://127\.0\.0\.1:(\d+)/)"));
            },
            scaled(60));
        if (!up)
            return ::testing::AssertionFailure() << "vora view did not start:\n" << viewer_->finish(scaled(30)).err;
        port_ = std::stoi(m[1]);
        return ::testing::AssertionSuccess();
    }

    std::unique_ptr<httplib::Client> client()
    {
        auto c = std::make_unique<httplib::Client>("127.0.0.1", port_);
        c->set_read_timeout(scaled(60));
        c->set_write_timeout(scaled(60));
        c->set_connection_timeout(scaled(30));
        return c;
    }

    // The next frame of a channel after seq `after`.
    ::testing::AssertionResult frame(httplib::Client& c, const std::string& query, Message* m)
    {
        const auto end = std::chrono::steady_clock::now() + scaled(60);
        while (std::chrono::steady_clock::now() < end) {
            auto r = c.Get(("/api/frame?" + query).c_str());
            if (!r)
                return ::testing::AssertionFailure() << "no answer: " << httplib::to_string(r.error());
            if (r->status == 204)
                continue;  // no frame within the server's wait: ask again
            if (r->status != 200)
                return ::testing::AssertionFailure() << r->status << " " << r->body;
            return decode(r->body, m);
        }
        return ::testing::AssertionFailure() << "no frame came";
    }

    // The frames the viewer has taken from a channel, from its statistics.
    unsigned captured(httplib::Client& c, int channel)
    {
        auto r = c.Get("/api/stats?after=0");
        if (!r || r->status != 200)
            return 0;
        std::smatch m;
        unsigned last = 0;
        std::string body = r->body;
        const std::regex one("\"channel\":" + std::to_string(channel) + R"(,[^\]]*?"captured":(\d+))");
        for (std::sregex_iterator it(body.begin(), body.end(), one), end; it != end; ++it)
            last = std::stoul((*it)[1]);
        return last;
    }

    // `said`: what the viewer printed on its way out, should it not have.
    void expect_released(const std::string& said = "")
    {
        EXPECT_FALSE(sim_->controlled_by_someone()) << said;
        EXPECT_FALSE(sim_->acquiring()) << said;
        for (uint32_t ch = 0; ch < 3; ++ch)
            EXPECT_EQ(sim_->read_reg(Stream_Channel_0_Port_Reg + ch * 0x40) & 0xFFFF, 0u)
                << "channel " << ch << ": " << said;
    }

    // Ctrl-C: the viewer ends with 130 and the camera is free.
    void interrupt_and_expect_released()
    {
        viewer_->signal(SIGINT);
        const Outcome o = viewer_->finish(scaled(60));
        EXPECT_EQ(o.code, 130) << o.err;
        EXPECT_NE(o.err.find("the camera is free"), std::string::npos) << o.err;
        expect_released(o.err);
    }

    void browse(const std::string& mode);

    std::unique_ptr<vsim::SimCamera> sim_;
    std::unique_ptr<Child> viewer_;
    TempDir out_;
    int port_ = 0;
};

// ---- the page ----

// The page in chromium (tests/browser/view_page.mjs), with WebGL or without
// ("2d"), against a camera whose depth is noisy so that frames differ; then
// what it set and saved, read back. Skips where there is no browser.
void VoraView::browse(const std::string& mode)
{
    const std::string node = VORA_NODE;
    const std::string build = vora_path().substr(0, vora_path().rfind('/'));
    if (access("/usr/bin/chromium", X_OK) != 0)
        GTEST_SKIP() << "no browser: /usr/bin/chromium is missing, and scripts/bootstrap could not install "
                        "Debian's chromium on this machine";
    if (node.empty() || node.find("NOTFOUND") != std::string::npos ||
        access((build + "/web/node_modules/playwright-core/package.json").c_str(), R_OK) != 0)
        GTEST_SKIP() << "no Node.js or no playwright-core: the build installs them with the viewer's page";

    vsim::SimConfig config;
    config.depth_noise_mm = 5;  // frames that differ, as a real sensor's do
    vsim::SimCamera& sim = camera(config);
    ASSERT_TRUE(view());
    // The script bounds each of its waits by a minute times the slowdown;
    // this bounds the whole run, within CTest's bound on the test.
    Child browser(node,
                  {VORA_BROWSER_SCRIPT, "http://127.0.0.1:" + std::to_string(port_) + "/", build,
                   build + "/test-artifacts", VoraStatusText(VORA_ERR_FEATURE_RANGE), std::to_string(kSlowdown), mode});
    const Outcome o = browser.finish(scaled(100));
    ASSERT_EQ(o.code, 0) << o.out << o.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(o.out, m, std::regex(R"j("folder":"([^"]+)")j"))) << o.out;
    const std::string folder = m[1];
    // The rates the page measured and how long each step took, for whoever
    // reads the log.
    for (const char* figures : {R"j("rates":\{[^}]*\})j", R"j("seconds":\{[^}]*\})j"})
        if (std::regex_search(o.out, m, std::regex(figures)))
            std::printf("page (%s): %s\n", mode.c_str(), m[0].str().c_str());

    EXPECT_EQ(sim.read_reg(vsim::SENSOR_BASE + vsim::SN_EXPOSURE_TIME), 7777u);
    int saved = 0;
    for (const char* name : {"ch0_", "ch1_", "ch2_"}) {
        if (DIR* d = opendir(folder.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string file = e->d_name;
                if (file.rfind(name, 0) == 0) {
                    EXPECT_TRUE(loads(folder + "/" + file)) << file;
                    ++saved;
                }
            }
            closedir(d);
        }
    }
    EXPECT_EQ(saved, 4 + 2 + 4);  // two depth channels (pcd, bin.ply, png, preview), a colour one (bmp, png)
    interrupt_and_expect_released();
}

TEST_F(VoraView, ThePageShowsTheCameraLiveTakesControlsAndSavesInARealBrowser)
{
    browse("webgl");
}

// A browser without WebGL (no GPU access: remote desktops, virtual machines)
// still gets everything, the 3D view as a simplified drawing with a note.
TEST_F(VoraView, WithoutWebGLThePageDrawsASimplifiedCloudAndEverythingElseWorks)
{
    browse("2d");
}

// ---- frames ----

TEST_F(VoraView, FramesHoldTheSceneTakenEveryStepInMillimetres)
{
    vsim::SimCamera& sim = camera();
    regions(320, 240);
    ASSERT_TRUE(view());
    auto c = client();

    Message depth;
    ASSERT_TRUE(frame(*c, "channel=0&after=0&step=2", &depth));
    EXPECT_EQ(depth.kind, 1);
    EXPECT_EQ(depth.channel, 0);
    EXPECT_EQ(depth.flags, 1 | 2);
    EXPECT_EQ(depth.width, 160u);
    EXPECT_EQ(depth.height, 120u);
    EXPECT_EQ(depth.step, 2u);
    EXPECT_EQ(depth.frame_width, 320u);
    EXPECT_EQ(depth.frame_height, 240u);
    // Every point, against the rendered scene: raw units are tenths of a
    // millimetre; the page's 16 bits lose at most half their scale.
    const auto raw = vsim::render_sensor(sim.config().sensors[0], vsim::Roi{320, 240, 0, 0}, PIXEL_FORMAT_COORD3D_ABC16,
                                         sim.config().cloud_unit);
    float nearest = 1e9f, farthest = 0;
    int points = 0;
    for (uint32_t y = 0; y < depth.height; ++y) {
        for (uint32_t x = 0; x < depth.width; ++x) {
            const size_t i = static_cast<size_t>(y) * depth.width + x;
            const uint8_t* p = &raw[(static_cast<size_t>(2 * y) * 320 + 2 * x) * 6];
            const int16_t rx = static_cast<int16_t>(p[0] | p[1] << 8), ry = static_cast<int16_t>(p[2] | p[3] << 8);
            const uint16_t rz = static_cast<uint16_t>(p[4] | p[5] << 8);
            const uint8_t* colour = &depth.depth_colours[3 * i];
            if (rz == 0) {
                EXPECT_EQ(depth.points[3 * i + 2], 0) << x << "," << y;
                EXPECT_EQ(colour[0] | colour[1] | colour[2], 0) << x << "," << y;
                continue;
            }
            ++points;
            const float want[3] = {rx / 10.0f, ry / 10.0f, rz / 10.0f};
            for (int k = 0; k < 3; ++k)
                ASSERT_NEAR(depth.points[3 * i + k] * depth.scale, want[k], depth.scale * 0.51f + 0.01f)
                    << x << "," << y << " coordinate " << k;
            EXPECT_NE(colour[0] | colour[1] | colour[2], 0) << x << "," << y;
            nearest = std::min(nearest, want[2]);
            farthest = std::max(farthest, want[2]);
        }
    }
    EXPECT_GT(points, 160 * 120 / 2);
    EXPECT_NEAR(depth.near_mm, nearest, 0.05);
    EXPECT_NEAR(depth.far_mm, farthest, 0.05);

    // The colour image, byte for byte where it was taken.
    Message colour;
    ASSERT_TRUE(frame(*c, "channel=1&after=0&step=3", &colour));
    EXPECT_EQ(colour.kind, 2);
    EXPECT_EQ(colour.width, 107u);  // 320 / 3, rounded up
    EXPECT_EQ(colour.height, 80u);
    const auto rgb = vsim::render_sensor(sim.config().sensors[1], vsim::Roi{320, 240, 0, 0}, PIXEL_FORMAT_RGB8, 10);
    for (uint32_t y = 0; y < colour.height; ++y)
        for (uint32_t x = 0; x < colour.width; ++x)
            ASSERT_EQ(std::memcmp(&colour.rgb[3 * (static_cast<size_t>(y) * colour.width + x)],
                                  &rgb[3 * (static_cast<size_t>(3 * y) * 320 + 3 * x)], 3),
                      0)
                << x << "," << y;

    // Pictures only, and the cloud in the colour image's colours.
    Message picture, fused;
    ASSERT_TRUE(frame(*c, "channel=2&after=0&points=0", &picture));
    EXPECT_EQ(picture.flags, 2);
    EXPECT_EQ(picture.width, 320u);  // small frames are sent whole
    ASSERT_TRUE(frame(*c, "channel=0&after=0&step=4&fuse=1", &fused));
    EXPECT_EQ(fused.flags, 1 | 2 | 4);
    size_t lit = 0;
    for (size_t i = 0; i < fused.fused_colours.size(); i += 3)
        lit += (fused.fused_colours[i] | fused.fused_colours[i + 1] | fused.fused_colours[i + 2]) != 0;
    EXPECT_GT(lit, fused.fused_colours.size() / 3 / 2);
    interrupt_and_expect_released();
}

TEST_F(VoraView, APageIsSentTheNewestFrameNotTheOnesItMissed)
{
    camera();
    regions(320, 240);
    ASSERT_TRUE(view({"--channels", "0"}));
    auto c = client();
    Message first;
    ASSERT_TRUE(frame(*c, "channel=0&after=0", &first));
    // While the page is away, the viewer takes three more frames.
    ASSERT_TRUE(eventually([&] { return captured(*c, 0) >= first.seq + 3; }, std::chrono::seconds(60)));
    Message next;
    ASSERT_TRUE(frame(*c, "channel=0&after=" + std::to_string(first.seq), &next));
    EXPECT_GE(next.seq, first.seq + 3);
    // A page that has the newest waits for the one after it.
    Message after;
    ASSERT_TRUE(frame(*c, "channel=0&after=" + std::to_string(next.seq), &after));
    EXPECT_GT(after.seq, next.seq);
    interrupt_and_expect_released();
}

TEST_F(VoraView, TwoPagesAtOnceBothFollowEveryChannel)
{
    camera();
    regions(320, 240);
    ASSERT_TRUE(view());
    std::atomic<int> failures{0};
    std::vector<std::string> errors(2);
    auto page = [&](int k) {
        auto c = client();
        uint32_t after[3] = {0, 0, 0};
        for (int round = 0; round < 5; ++round) {
            for (int ch = 0; ch < 3; ++ch) {
                Message m;
                const auto got = frame(*c, "channel=" + std::to_string(ch) + "&after=" + std::to_string(after[ch]), &m);
                if (!got || m.seq <= after[ch]) {
                    errors[k] = got ? "seq did not advance" : got.message();
                    ++failures;
                    return;
                }
                after[ch] = m.seq;
            }
        }
    };
    std::thread a(page, 0), b(page, 1);
    a.join();
    b.join();
    EXPECT_EQ(failures, 0) << errors[0] << errors[1];
    interrupt_and_expect_released();
}

TEST_F(VoraView, APageThatStopsReadingCostsNoMemoryAndHoldsUpNoOtherPage)
{
    camera();
    regions(640, 480);  // 2.8 MB a message at step 1
#if defined(__SANITIZE_ADDRESS__)
    // Freed memory waits in AddressSanitizer's quarantine (256 MB) before
    // it is reused: kept small where memory is what is measured.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string options = asan && *asan ? std::string(asan) + ":" : std::string();
    setenv("ASAN_OPTIONS", (options + "quarantine_size_mb=1").c_str(), 1);
#endif
    ASSERT_TRUE(view({"--channels", "0"}));
    auto c = client();
    Message m;
    uint32_t after = 0;
    for (int i = 0; i < 5; ++i, after = m.seq)
        ASSERT_TRUE(frame(*c, "channel=0&step=1&after=" + std::to_string(after), &m));
    const long long before = rss_of(viewer_->pid());

    // Sixty requests for whole frames, and not a byte read: a server that
    // queued what it owes would hold 166 MB for this page.
    RawConnection stalled(port_, 4096);
    ASSERT_TRUE(stalled.connected());
    std::string requests;
    for (int i = 0; i < 60; ++i)
        requests += "GET /api/frame?channel=0&step=1&after=" + std::to_string(i) +
                    " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n\r\n";
    ASSERT_TRUE(stalled.send_text(requests));

    // Meanwhile another page goes on getting frames.
    for (int i = 0; i < 20; ++i, after = m.seq)
        ASSERT_TRUE(frame(*c, "channel=0&step=1&after=" + std::to_string(after), &m));
    const long long grown = rss_of(viewer_->pid()) - before;
    EXPECT_LT(grown, 48ll << 20) << "grew by " << (grown >> 20) << " MB";
    interrupt_and_expect_released();
}

TEST_F(VoraView, PagesThatLeaveHalfwayThroughAFrameLeaveTheViewerServing)
{
    camera();  // whole 1280 x 1024 frames: far more than the sockets buffer
    ASSERT_TRUE(view({"--channels", "0"}));
    for (int i = 0; i < 5; ++i) {
        RawConnection gone(port_, 4096);
        ASSERT_TRUE(gone.send_text("GET /api/frame?channel=0&step=1&after=0 HTTP/1.1\r\nHost: 127.0.0.1:" +
                                   std::to_string(port_) + "\r\n\r\n"));
        char some[64];
        ASSERT_GT(recv(gone.fd(), some, sizeof some, MSG_WAITALL), 0);
        linger abrupt{1, 0};  // a reset, not a polite close
        setsockopt(gone.fd(), SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    }
    auto c = client();
    Message m;
    uint32_t after = 0;
    for (int i = 0; i < 3; ++i, after = m.seq)
        ASSERT_TRUE(frame(*c, "channel=0&step=1&after=" + std::to_string(after), &m));
    interrupt_and_expect_released();
}

TEST_F(VoraView, CtrlCGivesTheCameraBackWhilePagesWaitAndStall)
{
    vsim::SimCamera& sim = camera();
    regions(320, 240);
    ASSERT_TRUE(view());
    ASSERT_TRUE(sim.acquiring());
    RawConnection stalled(port_, 4096);
    ASSERT_TRUE(stalled.send_text(
        "GET /api/frame?channel=0&step=1&after=0 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n\r\n"));
    std::atomic<bool> stop{false};
    std::thread waiting([&] {
        auto c = client();
        // Asks for frames that never come until the viewer goes away.
        while (!stop)
            if (!c->Get("/api/frame?channel=0&after=4000000000"))
                break;
    });
    struct Joined {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~Joined()
        {
            stop = true;
            thread.join();
        }
    } joined{stop, waiting};
    auto c = client();
    Message m;
    ASSERT_TRUE(frame(*c, "channel=1&after=0", &m));
    interrupt_and_expect_released();
}

TEST_F(VoraView, ALostCameraEndsTheViewerWithAReason)
{
    Child camsim(VORA_CAMSIM_PATH, {"--fps", "5", "--seconds", "600"});
    ASSERT_TRUE(camsim.wait_for([](const Outcome& o) { return o.out.find("ready") != std::string::npos; }, scaled(60)));
    TempDir out;
    Child viewer(vora_path(), {"view", "--port", "0", "--channels", "0", "--out", out.path()});
    ASSERT_TRUE(
        viewer.wait_for([](const Outcome& o) { return o.out.find("at http") != std::string::npos; }, scaled(60)));
    camsim.signal(SIGKILL);
    const Outcome o = viewer.finish(scaled(60));
    EXPECT_EQ(o.code, 1) << o.err;
    EXPECT_NE(o.err.find("was lost"), std::string::npos) << o.err;
}

// ---- controls and saving ----

TEST_F(VoraView, ControlsReachTheCameraAndARefusalCarriesTheLibrarysStatusText)
{
    vsim::SimCamera& sim = camera();
    regions(320, 240);
    ASSERT_TRUE(view());
    auto c = client();
    auto r = c->Get("/api/controls");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_NE(
        r->body.find(
            R"j("name":"ExposureTime","index":1,"label":"exposure time, sensor 1 (colour)","type":"integer","unit":"us","min":10,"max":100000)j"),
        std::string::npos)
        << r->body;
    // Types, bounds, entries and values as the library describes them now.
    EXPECT_NE(
        r->body.find(R"("name":"TriggerMode","index":0,"label":"trigger mode, depth sensors","type":"enumeration")"),
        std::string::npos)
        << r->body;
    EXPECT_NE(
        r->body.find(R"("entries":[{"name":"Off","value":0},{"name":"On","value":1}],"value":"Off","access":"RW")"),
        std::string::npos)
        << r->body;
    EXPECT_NE(r->body.find(R"("display_name":"Exposure Time")"), std::string::npos) << r->body;
    for (int sensor = 0; sensor < 3; ++sensor)  // one control per value of the exposure's selector
        EXPECT_NE(r->body.find("\"name\":\"ExposureTime\",\"index\":" + std::to_string(sensor) + ","),
                  std::string::npos)
            << r->body;
    EXPECT_EQ(r->body.find("\"name\":\"PayloadSize\""), std::string::npos);  // read-only: not offered
    EXPECT_NE(
        r->body.find(
            R"("name":"Width","index":2,"label":"region of channel 2: Width","type":"integer","unit":"","min":16,"max":1280,"inc":8,"entries":[],"value":320)"),
        std::string::npos);

    const uint32_t exposure1 = vsim::SENSOR_BASE + vsim::SENSOR_STRIDE + vsim::SN_EXPOSURE_TIME;
    r = c->Post("/api/set?name=ExposureTime&index=1&value=7000");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(r->body, "{\"name\":\"ExposureTime\",\"index\":1,\"value\":7000}\n");
    EXPECT_EQ(sim.read_reg(exposure1), 7000u);

    r = c->Post("/api/set?name=ExposureTime&index=1&value=200000");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_NE(r->body.find(std::string("\"refused\":\"ExposureTime[1]=200000 refused: -84 (") +
                           VoraStatusText(VORA_ERR_FEATURE_RANGE) + "): "),  // and the library's message
              std::string::npos)
        << r->body;
    EXPECT_NE(r->body.find("200000 is out of range 10..100000"), std::string::npos) << r->body;
    EXPECT_EQ(sim.read_reg(exposure1), 7000u);
    r = c->Post("/api/set?name=Laserbrightness&index=0&value=101");
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("\"refused\":"), std::string::npos) << r->body;
    EXPECT_EQ(sim.read_reg(vsim::REG_LASER_BRIGHTNESS), 50u);

    // A new region restarts the streams: the next frames have its size.
    r = c->Post("/api/set?name=Width&index=0&value=160");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(sim.read_reg(vsim::SENSOR_BASE + vsim::SN_WIDTH), 160u);
    Message m;
    uint32_t after = 0;
    for (int i = 0; i < 50 && m.frame_width != 160; ++i, after = m.seq)
        ASSERT_TRUE(frame(*c, "channel=0&after=" + std::to_string(after), &m));
    EXPECT_EQ(m.frame_width, 160u);
    EXPECT_EQ(m.frame_height, 240u);

    // Triggered: a frame per software trigger. An entry by name or value.
    r = c->Post("/api/set?name=TriggerMode&index=0&value=On");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "{\"name\":\"TriggerMode\",\"index\":0,\"value\":\"On\"}\n");
    EXPECT_EQ(sim.read_reg(vsim::REG_TRIGGER_MODE), 1u);
    ASSERT_EQ(c->Post("/api/set?name=TriggerMode&index=0&value=1")->status, 200);
    const uint64_t sent = sim.frames_sent(0);
    ASSERT_EQ(c->Post("/api/set?name=TriggerSoftware&index=0&value=1")->status, 200);
    ASSERT_TRUE(eventually([&] { return sim.frames_sent(0) > sent; }, std::chrono::seconds(30)));

    for (const char* bad : {"/api/set?name=NoSuchFeature&index=0&value=1", "/api/set?name=ExposureTime&index=9&value=1",
                            "/api/set?name=ExposureTime&index=0&value=7e3", "/api/set?name=ExposureTime&index=0",
                            "/api/set?index=0&value=1", "/api/set?name=TriggerMode&index=0&value=Sometimes",
                            "/api/set?name=PayloadSize&index=0&value=1"}) {
        r = c->Post(bad);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400) << bad << ": " << r->body;
    }
    interrupt_and_expect_released();
}

TEST_F(VoraView, SaveWritesTheFramesOnScreenWithTheCaptureWriters)
{
    camera();
    regions(320, 240);
    ASSERT_TRUE(view());
    auto c = client();
    Message depth, colour;
    ASSERT_TRUE(frame(*c, "channel=0&after=0", &depth));
    ASSERT_TRUE(frame(*c, "channel=1&after=0", &colour));
    auto r = c->Post(
        ("/api/save?ch0=" + std::to_string(depth.seq) + "&ch1=" + std::to_string(colour.seq) + "&fuse=0").c_str());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r->body, m, std::regex(R"j("folder":"([^"]+)")j"))) << r->body;
    const std::string folder = m[1];
    EXPECT_EQ(folder, out_.path() + "/saved/save_0001");
    char d[16], k[16];
    std::snprintf(d, sizeof d, "ch0_%04u", depth.seq);
    std::snprintf(k, sizeof k, "ch1_%04u", colour.seq);
    for (const std::string& name : {std::string(d) + ".pcd", std::string(d) + ".bin.ply", std::string(d) + ".png",
                                    std::string(d) + "_preview.png", std::string(k) + ".bmp", std::string(k) + ".png",
                                    std::string("fused_ch0_colour.txt"), std::string("fused_ch0_colour.pcd"),
                                    std::string("fused_ch0_colour.ply"), std::string("fused_ch0_grid.pcd")})
        EXPECT_NE(r->body.find("\"" + name + "\""), std::string::npos) << name << " in " << r->body;
    const std::string pcd = slurp(folder + "/" + d + ".pcd");
    EXPECT_NE(pcd.find("WIDTH 320\r\nHEIGHT 240\r\n"), std::string::npos);
    ASSERT_NE(pcd.find("DATA binary\r\n"), std::string::npos);
    EXPECT_EQ(pcd.size() - pcd.find("DATA binary\r\n") - 13, 320u * 240 * 12);
    uint32_t w = 0, h = 0;
    EXPECT_TRUE(png_loads(folder + "/" + d + "_preview.png", &w, &h));
    EXPECT_EQ(w, 320u);
    EXPECT_EQ(h, 240u);
    EXPECT_TRUE(png_loads(folder + "/" + k + ".png", &w, &h));
    EXPECT_EQ(slurp(folder + "/" + k + ".bmp").compare(0, 2, "BM"), 0);

    // A second press, a second folder. A page far behind the camera gets
    // the newest frame instead of the one it shows, and is told so.
    ASSERT_TRUE(eventually([&] { return captured(*c, 1) >= colour.seq + FrameHistory; }, std::chrono::seconds(60)));
    r = c->Post(("/api/save?ch1=" + std::to_string(colour.seq)).c_str());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_NE(r->body.find("save_0002"), std::string::npos) << r->body;
    ASSERT_TRUE(std::regex_search(r->body, m,
                                  std::regex("frame " + std::to_string(colour.seq) +
                                             R"j( of channel 1 was no longer held: saved frame (\d+), the newest)j")))
        << r->body;
    char newest[16];
    std::snprintf(newest, sizeof newest, "ch1_%04lu", std::stoul(m[1]));
    EXPECT_NE(r->body.find(std::string("\"") + newest + ".bmp\""), std::string::npos) << r->body;
    r = c->Post("/api/save?ch0=x");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400) << r->body;
    interrupt_and_expect_released();
}

// ---- what a hostile peer may send ----

TEST_F(VoraView, HostileRequestsAreRefusedAndTheFileSystemIsNeverServed)
{
    camera();
    regions(160, 120);
    ASSERT_TRUE(view({"--channels", "0,1"}));
    auto c = client();
    const std::map<std::string, int> gets = {
        {"/api/frame?channel=3&after=0", 400},
        {"/api/frame?channel=x&after=0", 400},
        {"/api/frame?after=0", 400},
        {"/api/frame?channel=0&after=-1", 400},
        {"/api/frame?channel=0&step=17", 400},
        {"/api/frame?channel=0&step=1e3", 400},
        {"/api/frame?channel=0&points=2", 400},
        {"/api/frame?channel=2&after=0", 404},
        {"/api/stats?after=99999999999", 400},
        {"/api/nothing", 404},
        {"/etc/passwd", 404},
        {"/app.js.map", 404},
    };
    for (const auto& g : gets) {
        auto r = c->Get(g.first.c_str());
        ASSERT_TRUE(r) << g.first;
        EXPECT_EQ(r->status, g.second) << g.first << ": " << r->body;
    }
    // Paths that climb out, as a client that does not tidy them sends them.
    for (const char* path :
         {"/../../../../etc/passwd", "/%2e%2e/%2e%2e/%2e%2e/etc/passwd", "/..%2f..%2f..%2fetc%2fpasswd"}) {
        RawConnection raw(port_);
        ASSERT_TRUE(raw.send_text(std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                                  "\r\nConnection: close\r\n\r\n"));
        const std::string answer = raw.read_all(scaled(30));
        EXPECT_EQ(answer.rfind("HTTP/1.1 404", 0), 0u) << path << ": " << answer.substr(0, 200);
        EXPECT_EQ(answer.find("root:"), std::string::npos) << path;
    }
    // Another site's page, through a name that leads here or by posting.
    auto r = c->Get("/api/info", {{"Host", "attacker.example:" + std::to_string(port_)}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
    r = c->Post("/api/set?name=Laserbrightness&index=0&value=60", {{"Origin", "http://attacker.example"}}, "",
                "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
    EXPECT_EQ(sim_->read_reg(vsim::REG_LASER_BRIGHTNESS), 50u);
    r = c->Post("/api/set?name=Laserbrightness&index=0&value=60",
                {{"Origin", "http://127.0.0.1:" + std::to_string(port_)}}, "", "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    // No request carries a body worth the name.
    r = c->Post("/api/save?ch0=1", std::string(64 * 1024, 'x'), "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 413);
    // The page itself, with its headers.
    r = c->Get("/");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_NE(r->get_header_value("Content-Security-Policy").find("default-src 'self'"), std::string::npos);
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff");
    interrupt_and_expect_released();
}

// `curl -X POST` sends no Content-Length and no body: the server used to
// wait for a body until its read timed out, five seconds later, holding a
// thread. Such requests are refused at once, and their connection closed, so
// that a body sent without a length is never read as the next request.
TEST_F(VoraView, RequestsWithABodyOfNoKnownLengthAreRefusedAtOnce)
{
    camera();
    regions(160, 120);
    ASSERT_TRUE(view({"--channels", "0"}));
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
    const auto post = [&](int value, const std::string& version = "HTTP/1.1") {
        return "POST /api/set?name=Laserbrightness&index=0&value=" + std::to_string(value) + " " + version + "\r\n" +
               host;
    };
    const auto answers = [](const std::string& text) {
        size_t n = 0;
        for (size_t at = text.find("HTTP/1.1 "); at != std::string::npos; at = text.find("HTTP/1.1 ", at + 1))
            ++n;
        return n;
    };
    struct Case {
        const char* what;
        std::string request;
    };
    for (const Case& k : std::vector<Case>{
             {"no length and nothing after the headers", post(60) + "\r\n"},
             {"a body without a length", post(60) + "Content-Type: application/x-www-form-urlencoded\r\n\r\nvalue=61"},
             {"HTTP/1.0", post(60, "HTTP/1.0") + "\r\n"},
             {"a body in an encoding that is not chunks", post(60) + "Transfer-Encoding: gzip\r\n\r\n"},
             {"another method that carries a body", "DELETE /api/save HTTP/1.1\r\n" + host + "\r\n"}}) {
        RawConnection raw(port_);
        ASSERT_TRUE(raw.connected());
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_TRUE(raw.send_text(k.request)) << k.what;
        // Everything until the server closes the connection.
        const std::string answer = raw.read_all(scaled(30));
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
        std::printf("%s: answered and closed in %lld ms\n", k.what, static_cast<long long>(took.count()));
        EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0u) << k.what << ": " << answer;
        EXPECT_NE(answer.find("needs a Content-Length (0 for no body)"), std::string::npos) << k.what << ": " << answer;
        EXPECT_NE(answer.find("Connection: close"), std::string::npos) << k.what << ": " << answer;
        EXPECT_EQ(answers(answer), 1u) << k.what << ": " << answer;
    }
    EXPECT_EQ(sim_->read_reg(vsim::REG_LASER_BRIGHTNESS), 50u);

    // What the page sends (a length of 0), and a body in chunks, still work.
    for (const auto& k : std::vector<std::pair<std::string, uint32_t>>{
             {post(60) + "Content-Length: 0\r\nConnection: close\r\n\r\n", 60},
             {post(70) + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n0\r\n\r\n", 70}}) {
        RawConnection raw(port_);
        ASSERT_TRUE(raw.send_text(k.first));
        const std::string answer = raw.read_all(scaled(30));
        EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << k.first << ": " << answer;
        EXPECT_EQ(sim_->read_reg(vsim::REG_LASER_BRIGHTNESS), k.second) << k.first;
    }

    // A body shorter than its length is waited for, as long as the server's
    // read timeout, and then refused.
    RawConnection short_body(port_);
    ASSERT_TRUE(short_body.send_text(post(80) + "Content-Length: 100\r\n\r\nabc"));
    const std::string answer = short_body.read_all(scaled(60));
    EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0u) << answer;
    EXPECT_EQ(sim_->read_reg(vsim::REG_LASER_BRIGHTNESS), 70u);
    interrupt_and_expect_released();
}

TEST_F(VoraView, BadCommandLinesAndABusyPortLeaveTheCameraAlone)
{
    vsim::SimCamera& sim = camera();
    for (const auto& args : std::vector<std::vector<std::string>>{{"view", "--port", "70000"},
                                                                  {"view", "--port", "http"},
                                                                  {"view", "--bind", "example.com"},
                                                                  {"view", "--channels", "0,0"},
                                                                  {"view", "--channels", "3"},
                                                                  {"view", "--out", ""},
                                                                  {"view", "extra"}}) {
        Child child(vora_path(), args);
        const Outcome o = child.finish();
        EXPECT_EQ(o.code, 2) << args[1] << ": " << o.err;
    }
    EXPECT_EQ(sim.command_count(), 0u);

    ASSERT_TRUE(view());
    Child second(vora_path(), {"view", "--port", std::to_string(port_)});
    const Outcome o = second.finish();
    EXPECT_EQ(o.code, 1);
    EXPECT_NE(o.err.find("cannot listen on 127.0.0.1 port " + std::to_string(port_)), std::string::npos) << o.err;
    EXPECT_TRUE(sim.controlled_by_someone());  // still the first viewer's
    interrupt_and_expect_released();
}

TEST_F(VoraView, ServingBeyondThisMachineWarnsThatAnyoneThereCanControlTheCamera)
{
    camera();
    regions(160, 120);
    Child child(vora_path(), {"view", "--port", "0", "--bind", "0.0.0.0"});
    ASSERT_TRUE(
        child.wait_for([](const Outcome& o) { return o.out.find("at http") != std::string::npos; }, scaled(60)));
    child.signal(SIGINT);
    const Outcome o = child.finish(scaled(60));
    EXPECT_NE(o.err.find("anyone who reaches port"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("can see and control the camera"), std::string::npos) << o.err;
    EXPECT_EQ(o.code, 130);
    expect_released(o.err);
}

}  // namespace
