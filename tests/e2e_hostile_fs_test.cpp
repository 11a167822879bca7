// A hostile POSIX file system: pipes, sockets, links and devices where
// recordings and outputs are expected. Every input must stay intact.
#include "e2e.h"

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class HostileFs : public temp_dir_test {};

TEST_F(HostileFs, InputIsNeverDestroyedThroughALinkedOutputName)
{
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    write_file(at("a.qvx"), frame);
    write_file(at("b.qvx"), frame);
    std::error_code error;
    fs::create_symlink("a.qvx", at("a.log"), error);
    if (!error) {
        fs::create_hard_link(at("b.qvx"), at("b.csv"), error);
    }
    if (error) {
        GTEST_SKIP() << "links cannot be made here: " << error.message();
    }
    const program_run run = run_quendix(root, {});
    EXPECT_EQ(run.output,
              banner("./a.qvx") + not_opened("./a.log") + banner("./b.qvx") + not_opened("./b.csv"));
    EXPECT_EQ(read_file(at("a.qvx")), frame);
    EXPECT_EQ(read_file(at("b.qvx")), frame);
    EXPECT_FALSE(fs::exists(at("a.csv")));  // nothing is created once a clash is found
    EXPECT_FALSE(fs::exists(at("b.log")));
}

TEST_F(HostileFs, InputsThatAreNotRegularFilesAreNotOpened)
{
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    ASSERT_EQ(mkfifo(at("fifo.qvx").c_str(), 0600), 0);
    std::error_code error;
    fs::create_symlink("gone.bin", at("dangling.qvx"), error);
    ASSERT_FALSE(error) << error.message();

    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const std::string socket_path = at("sock.qvx").string();
    const bool have_socket = sock >= 0 && socket_path.size() < sizeof address.sun_path;
    if (have_socket) {
        std::strcpy(address.sun_path, socket_path.c_str());
        ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    write_file(at("z.qvx"), frame);

    const program_run run = run_quendix(root, {});
    EXPECT_EQ(run.exit_status, 0);
    std::string expected = banner("./dangling.qvx") + not_opened("./dangling.qvx") +
                           banner("./fifo.qvx") + not_opened("./fifo.qvx");
    if (have_socket) {
        expected += banner("./sock.qvx") + not_opened("./sock.qvx");
    }
    expected += banner("./z.qvx") + console_text("    start :   1,   0\n      end :   1,   0\n");
    EXPECT_EQ(run.output, expected);
    EXPECT_FALSE(fs::exists(at("fifo.csv")));
    EXPECT_FALSE(fs::exists(at("dangling.csv")));
    EXPECT_TRUE(fs::exists(at("z.csv")));
    if (sock >= 0) {
        close(sock);
    }
}

TEST_F(HostileFs, FailedWritesAreReportedAsNotWritten)
{
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full on this system";
    }
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    write_file(at("a.qvx"), frame);
    write_file(at("b.qvx"), frame);
    fs::create_symlink("/dev/full", at("a.csv"));
    fs::create_symlink("/dev/full", at("b.log"));
    const program_run run = run_quendix(root, {});
    EXPECT_EQ(run.exit_status, 0);
    const std::string report_text = console_text("    start :   1,   0\n      end :   1,   0\n");
    EXPECT_EQ(run.output, banner("./a.qvx") + report_text + not_written("./a.csv") +
                              banner("./b.qvx") + report_text + not_written("./b.log"));
    EXPECT_EQ(read_file(at("a.log")), "    start :   1,   0\r\n      end :   1,   0\r\n");
    EXPECT_EQ(read_file(at("b.csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0)));
}

TEST_F(HostileFs, AFifoAsOutputNameNeverBlocks)
{
    write_file(at("a.qvx"), frame_bytes(sample_frame(1, 0, 0)));
    ASSERT_EQ(mkfifo(at("a.csv").c_str(), 0600), 0);
    const program_run run = run_quendix(root, {});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, banner("./a.qvx") + not_opened("./a.csv"));
    EXPECT_FALSE(fs::exists(at("a.log")));
}

}  // namespace
