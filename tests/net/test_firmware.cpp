// Firmware upload over FTP to a simulated camera, and the upgrade that
// follows it: the camera is told to apply the image and restart only when
// the whole image arrived.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camera/vora_gige_camera.h"
#include "ftp/vora_ftpserver.h"
#include "gvcp_codec.h"
#include "loopback_info.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "sim_ftp_faults.h"
#include "vora_qelcamera_api.h"

namespace {

namespace fs = std::filesystem;

constexpr unsigned kLoopback = 0x7F000001;
const char* const kCameraText = "127.0.0.1";

using testnet::loopback_info;

std::vector<char> pattern(size_t size)
{
    std::vector<char> bytes(size);
    uint32_t x = 2463534242u;
    for (char& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<char>(x);
    }
    return bytes;
}

std::vector<char> slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::pair<uint32_t, uint32_t>> writes(vsim::SimCamera& sim)
{
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const auto& c : sim.commands())
        if (c.size() >= 16 && gvcp::get_u16(c.data() + 2) == WRITEREG_CMD)
            out.emplace_back(gvcp::get_u32(c.data() + 8), gvcp::get_u32(c.data() + 12));
    return out;
}

// The commands of one upload under the simulated camera's own account.
std::vector<std::string> conversation(const std::string& remote)
{
    const vsim::SimConfig defaults;
    return {"USER " + defaults.ftp_user,
            "PASS " + defaults.ftp_password,
            "SYST",
            "TYPE I",
            "PASV",
            "STOR " + remote,
            "QUIT"};
}

struct Progress {
    std::vector<std::pair<long long, long long>> calls;
    static void record(long long sent, long long total, void* user)
    {
        static_cast<Progress*>(user)->calls.emplace_back(sent, total);
    }
};

class Firmware : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/vora-fw-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        local = dir;
        fs::create_directories(local / "images");
        sim = std::make_unique<vsim::SimCamera>(config());
        ASSERT_EQ(sim->start(), 0);
    }
    void TearDown() override
    {
        camera.CameraDisconnect();
        sim->stop();
        std::error_code ec;
        fs::remove_all(local, ec);
    }
    virtual vsim::SimConfig config() { return vsim::SimConfig(); }

    std::string image(const std::string& name, size_t size)
    {
        const fs::path path = local / "images" / name;
        const std::vector<char> bytes = pattern(size);
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }
    fs::path stored(const std::string& name) const { return fs::path(sim->ftp_directory()) / name; }
    void connect()
    {
        DiscoveryInfo info = loopback_info();
        ASSERT_EQ(camera.CameraConnect(&info), 0);
        sim->clear_commands();
    }
    bool touched_upgrade_registers()
    {
        for (const auto& w : writes(*sim))
            if (w.first == vsim::REG_FIRMWARE_UPDATE || w.first == vsim::REG_DEVICE_REBOOT)
                return true;
        return false;
    }

    fs::path local;
    std::unique_ptr<vsim::SimCamera> sim;
    GigeCamera camera;
};

TEST_F(Firmware, UploadArrivesWholeInPiecesOf1024)
{
    const std::string path = image("fw.bin", 2049);
    Progress progress;
    ASSERT_EQ(ftp_upload(kCameraText, path.c_str(), &Progress::record, &progress), 0);

    const std::vector<std::pair<long long, long long>> want = {{1024, 2049}, {2048, 2049}, {2049, 2049}};
    EXPECT_EQ(progress.calls, want);
    EXPECT_EQ(slurp(stored("fw.bin")), pattern(2049));

    const std::vector<std::string> commands = vsim::ftp_commands(sim.get());
    const std::vector<std::string> sequence = conversation("/var/fw.bin");
    EXPECT_EQ(commands, sequence);
    EXPECT_EQ(vsim::ftp_connections(sim.get()), 1);
}

TEST_F(Firmware, EmptyFileAndOverloadWithoutProgress)
{
    const std::string path = image("empty.bin", 0);
    ASSERT_EQ(ftp_upload(kCameraText, path.c_str()), 0);
    EXPECT_TRUE(fs::exists(stored("empty.bin")));
    EXPECT_EQ(fs::file_size(stored("empty.bin")), 0u);
}

TEST_F(Firmware, DataConnectionGoesToTheCameraNotToTheAddressItNames)
{
    vsim::ftp_faults(sim.get()).pasv_foreign_address = true;
    const std::string path = image("fw.bin", 3000);
    ASSERT_EQ(ftp_upload(kCameraText, path.c_str()), 0);
    EXPECT_EQ(slurp(stored("fw.bin")), pattern(3000));
}

TEST_F(Firmware, MissingFileNeverConnects)
{
    connect();
    EXPECT_EQ(ftp_upload(kCameraText, (local / "absent.bin").c_str()), -1);
    EXPECT_EQ(camera.FirmwareUpgrade(loopback_info(), (local / "absent.bin").c_str()), -1);
    EXPECT_EQ(vsim::ftp_connections(sim.get()), 0);
    EXPECT_FALSE(touched_upgrade_registers());
}

TEST_F(Firmware, RefusedLoginStillRunsTheWholeConversationButFails)
{
    vsim::ftp_faults(sim.get()).refuse_login = true;
    const std::string path = image("fw.bin", 100);
    EXPECT_EQ(ftp_upload(kCameraText, path.c_str()), -45);
    const std::vector<std::string> commands = vsim::ftp_commands(sim.get());
    const std::vector<std::string> sequence = conversation("/var/fw.bin");
    EXPECT_EQ(commands, sequence);
    EXPECT_FALSE(fs::exists(stored("fw.bin")));
}

TEST_F(Firmware, RefusedStoreFails)
{
    connect();
    vsim::ftp_faults(sim.get()).refuse_stor = true;
    const std::string path = image("fw.bin", 100);
    EXPECT_EQ(camera.FirmwareUpgrade(loopback_info(), path.c_str()), -45);
    EXPECT_FALSE(touched_upgrade_registers());
}

TEST_F(Firmware, PassiveReplyWithoutParenthesesStopsBeforeStoring)
{
    connect();
    vsim::ftp_faults(sim.get()).pasv_without_parentheses = true;
    const std::string path = image("fw.bin", 100);
    EXPECT_EQ(camera.FirmwareUpgrade(loopback_info(), path.c_str()), -45);
    const std::vector<std::string> commands = vsim::ftp_commands(sim.get());
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), "PASV");
    EXPECT_FALSE(touched_upgrade_registers());
}

TEST_F(Firmware, ConnectionCutPartWayFailsAndLeavesTheCameraAlone)
{
    connect();
    vsim::ftp_faults(sim.get()).cut_after_bytes = 1000;
    const std::string path = image("fw.bin", 4096);
    Progress progress;
    EXPECT_EQ(camera.FirmwareUpgrade(loopback_info(), path.c_str(), &Progress::record, &progress), -45);
    EXPECT_LT(progress.calls.size(), 4u);
    EXPECT_FALSE(touched_upgrade_registers());
    EXPECT_FALSE(fs::exists(stored("fw.bin")));
}

TEST_F(Firmware, CutAfterTheLastPieceIsStillNoticed)
{
    vsim::ftp_faults(sim.get()).cut_after_bytes = 2048;
    const std::string path = image("fw.bin", 2049);
    EXPECT_EQ(ftp_upload(kCameraText, path.c_str()), -45);
}

TEST_F(Firmware, UpgradeUploadsThenUpdatesThenRebootsTheCamera)
{
    connect();
    const std::string path = image("fw.bin", 2049);
    Progress progress;
    ASSERT_EQ(camera.FirmwareUpgrade(loopback_info(), path.c_str(), &Progress::record, &progress), 0);
    // Probe at once: the camera is restarting and answers nobody.
    GigeCamera other;
    DiscoveryInfo info = loopback_info();
    int ccp = -1;
    EXPECT_EQ(other.GetCameraCCPStatus(&info, &ccp), -56);

    EXPECT_EQ(progress.calls.size(), 3u);
    EXPECT_EQ(slurp(stored("fw.bin")), pattern(2049));
    const std::vector<std::pair<uint32_t, uint32_t>> want = {{vsim::REG_FIRMWARE_UPDATE, 1u},
                                                             {vsim::REG_DEVICE_REBOOT, 0x111Fu}};
    EXPECT_EQ(writes(*sim), want);
    EXPECT_FALSE(sim->controlled_by_someone());

    // It comes back, free for anyone to take.
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((status = other.GetCameraCCPStatus(&info, &ccp)) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ccp, 0);
    EXPECT_EQ(sim->read_reg(vsim::REG_FIRMWARE_UPDATE), 0u);
    GigeCamera again;
    ASSERT_EQ(again.CameraConnect(&info), 0);
    EXPECT_EQ(again.CameraDisconnect(), 0);
}

TEST_F(Firmware, ARefusedUpdateWriteEndsBeforeTheReboot)
{
    connect();
    sim->faults.fail_address = vsim::REG_FIRMWARE_UPDATE;
    const std::string path = image("fw.bin", 10);
    EXPECT_EQ(camera.FirmwareUpgrade(loopback_info(), path.c_str()), 0x8003);
    for (const auto& w : writes(*sim))
        EXPECT_NE(w.first, vsim::REG_DEVICE_REBOOT);
}

TEST_F(Firmware, RebootWithoutAnUpdateKeepsTheCameraOnline)
{
    connect();
    EXPECT_EQ(camera.WriteRegister(vsim::REG_DEVICE_REBOOT, 0x111F), 0);
    EXPECT_TRUE(sim->controlled_by_someone());
    int value = 0;
    EXPECT_EQ(camera.ReadRegister(Heartbeat_Timeout_Reg, &value), 0);
}

TEST_F(Firmware, ExportedUpgradeUsesTheCameraOfTheIndex)
{
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    EXPECT_EQ(FirmwareUpgrade(0, (local / "absent.bin").c_str()), -1);
    EXPECT_EQ(FirmwareUpgrade(1, (local / "absent.bin").c_str()), -99);
    const std::string path = image("fw.bin", 10);
    vsim::ftp_faults(sim.get()).refuse_stor = true;
    EXPECT_EQ(FirmwareUpgrade(0, path.c_str()), -45);
    EXPECT_EQ(vsim::ftp_connections(sim.get()), 1);
    DestroyCamera();
}

class FirmwareNoService : public Firmware {
protected:
    vsim::SimConfig config() override
    {
        vsim::SimConfig c;
        c.ftp = false;
        return c;
    }
};

TEST_F(FirmwareNoService, UnreachableServiceFails)
{
    const std::string path = image("fw.bin", 10);
    EXPECT_EQ(ftp_upload(kCameraText, path.c_str()), -45);
    EXPECT_EQ(ftp_upload("not an address", path.c_str()), -45);
}

}  // namespace
