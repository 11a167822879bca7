// A hostile POSIX file system: pipes, sockets, links and devices where
// recordings and outputs are expected. Every input must stay intact.
#include "e2e.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class HostileFs : public temp_dir_test {};

// The console text of a file whose one frame is sample_frame(1, 0, 0).
std::string one_frame_report(const std::string& path)
{
    return banner(path) + console_text("    start :   1,   0\n      end :   1,   0\n");
}

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
    EXPECT_EQ(run.output, banner("./a.qvx") + not_opened("./a.log") + banner("./b.qvx") + not_opened("./b.csv"));
    EXPECT_EQ(read_file(at("a.qvx")), frame);
    EXPECT_EQ(read_file(at("b.qvx")), frame);
    EXPECT_FALSE(fs::exists(at("a.csv")));  // nothing is created once a clash is found
    EXPECT_FALSE(fs::exists(at("b.log")));
}

TEST_F(HostileFs, OutputsReplaceFilesAndLinksInsteadOfWritingThroughThem)
{
    // Each recording's outputs are taken over by something planted in
    // their place: another recording's second name, a link to a later
    // recording, to a file outside the tree, to the recording's own CSV or
    // to nothing, and a read-only file.
    const std::vector<std::string> names = {"a", "b", "d", "e", "m", "p", "x", "z"};
    for (size_t i = 0; i < names.size(); ++i) {
        write_file(at(names[i] + ".qvx"), frame_bytes(sample_frame(1, 0, static_cast<uint16_t>(i))));
    }
    const std::string a = read_file(at("a.qvx"));
    const std::string z = read_file(at("z.qvx"));
    write_file(at("outside/file"), "kept");
    write_file(at("p.csv"), "old");
    fs::permissions(at("p.csv"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    std::error_code error;
    fs::create_hard_link(at("a.qvx"), at("b.csv"), error);
    for (const auto& [target, name] : std::vector<std::pair<std::string, std::string>>{
             {"z.qvx", "m.csv"}, {"outside/file", "d.csv"}, {"x.csv", "x.log"}, {"nowhere/gone", "e.log"}}) {
        if (!error) {
            fs::create_symlink(target, at(name), error);
        }
    }
    if (error) {
        GTEST_SKIP() << "links cannot be made here: " << error.message();
    }
    const mode_t mask = umask(0);
    umask(mask);

    const program_run run = run_quendix(root, {});
    EXPECT_EQ(run.exit_status, 0);
    std::string expected;
    for (const std::string& name : names) {
        expected += one_frame_report("./" + name + ".qvx");
    }
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(read_file(at("a.qvx")), a);
    EXPECT_EQ(read_file(at("z.qvx")), z);
    EXPECT_EQ(read_file(at("outside/file")), "kept");
    EXPECT_FALSE(fs::exists(at("nowhere")));
    for (size_t i = 0; i < names.size(); ++i) {
        for (const std::string extension : {".csv", ".log"}) {
            const fs::path output = at(names[i] + extension);
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(output))) << output;
            EXPECT_EQ(fs::hard_link_count(output), 1u) << output;
        }
        EXPECT_EQ(read_file(at(names[i] + ".csv")),
                  CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, static_cast<uint16_t>(i))))
            << names[i];
        EXPECT_EQ(read_file(at(names[i] + ".log")), "    start :   1,   0\r\n      end :   1,   0\r\n") << names[i];
    }
    struct stat replaced;
    ASSERT_EQ(stat(at("p.csv").c_str(), &replaced), 0);
    EXPECT_EQ(replaced.st_mode & 0777, 0666 & ~mask);
}

TEST_F(HostileFs, ARunWritesEachOutputNameOnce)
{
    struct collision_case {
        std::string first;
        std::string second;
        std::string selector;
        std::string csv;  // the name both files give their CSV
    };
    const collision_case cases[] = {
        {"data.qvx1", "data.qvx2", "*.qvx?", "data..csv"},
        {"run.QVX", "run.qvx", "*.qvx", "run.csv"},  // listed in byte order: upper case first
    };
    for (const collision_case& c : cases) {
        const std::string stem = c.csv.substr(0, c.csv.size() - 4);
        write_file(at(c.first), frame_bytes(sample_frame(1, 0, 0)));
        write_file(at(c.second), frame_bytes(sample_frame(2, 0, 9)));
        const program_run run = run_quendix(root, {c.selector});
        EXPECT_EQ(run.output, one_frame_report("./" + c.first) + banner("./" + c.second) + not_opened("./" + c.csv))
            << c.first;
        EXPECT_EQ(read_file(at(c.csv)), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0))) << c.first;
        EXPECT_EQ(read_file(at(stem + ".log")), "    start :   1,   0\r\n      end :   1,   0\r\n") << c.first;
        fs::remove_all(root);
        fs::create_directories(root);
    }
}

// Fills each name in `names` under `dir` with text of its own, as outputs
// of an earlier run, and returns what each holds.
std::vector<std::string> write_earlier_outputs(const fs::path& dir, const std::vector<std::string>& names)
{
    std::vector<std::string> held;
    for (const std::string& name : names) {
        held.push_back("earlier " + name + "\r\n");
        write_file(dir / name, held.back());
    }
    return held;
}

// What each name in `names` under `dir` holds.
std::vector<std::string> held_by(const fs::path& dir, const std::vector<std::string>& names)
{
    std::vector<std::string> held;
    for (const std::string& name : names) {
        held.push_back(read_file(dir / name));
    }
    return held;
}

// How a run writes its CSV files: through the writer thread, or, where
// no thread can be started, each buffer as it is filled. A process limit
// of one (`ulimit -u 1`) refuses the thread; it holds no superuser, so
// that run is made as user 65534.
struct writer_case {
    const char* name;
    int user;
    unsigned long long process_limit;
};

const writer_case with_thread = {"with the writer thread", -1, 0};
const writer_case without_thread = {"without a thread, at the process limit", 65534, 1};

// Why the run without a thread cannot be made here, or empty when it can.
std::string no_run_without_thread()
{
    if (geteuid() != 0) {
        return "not root: no run as another user, whom a process limit holds";
    }
    if (!emulator_in_use().empty()) {
        return "the emulator " + emulator_in_use() + " starts threads of its own, which the process limit refuses";
    }
    std::string why;
    return quendix_for_other_users(why).empty() ? why : std::string();
}

// The writer cases a test runs here: both, or with the thread alone where
// the other cannot be made; the test then skips once it has checked that.
std::vector<writer_case> writer_cases_here()
{
    if (!no_run_without_thread().empty()) {
        return {with_thread};
    }
    return {with_thread, without_thread};
}

run_setup writer_setup(const writer_case& c)
{
    run_setup setup;
    setup.user = c.user;
    setup.process_limit = c.process_limit;
    return setup;
}

// Gives `dir` and everything in it to `user`, so that a run as that user
// may replace its files; nothing for -1.
void hand_over(const fs::path& dir, int user)
{
    if (user < 0) {
        return;
    }
    ASSERT_EQ(lchown(dir.c_str(), static_cast<uid_t>(user), static_cast<gid_t>(user)), 0) << dir;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
        ASSERT_EQ(lchown(entry.path().c_str(), static_cast<uid_t>(user), static_cast<gid_t>(user)), 0) << entry.path();
    }
}

TEST_F(HostileFs, AnInterruptedReRunKeepsTheEarlierOutputs)
{
    // A run over the outputs of an earlier one. b.qvx holds valid frames,
    // each followed by one without the marker, so that its report and its
    // CSV grow through the whole conversion, both far larger than the pipe
    // and the program's buffers. The signal is sent once a quarter of the
    // report has arrived, when megabytes of the CSV have been given to the
    // writer, and the pipe drained.
    const int pairs = 40000;
    std::string gaps;
    for (int i = 0; i < pairs; ++i) {
        gaps += frame_bytes(sample_frame(static_cast<uint16_t>(1 + (2 * i) / 512), static_cast<uint16_t>((2 * i) % 512),
                                         static_cast<uint16_t>(i))) +
                erased_frame_bytes();
    }
    const std::vector<std::string> kept = {"b.csv", "b.log", "c.csv", "c.log"};
    const std::string head = one_frame_report("./a.qvx") + banner("./b.qvx") + "    start :   1,   0\n";
    const std::string tail = "quendix : ./b.qvx, interrupted.\n";
    const size_t signal_at = head.size() + pairs * 44 / 4;
    for (const writer_case& writer : writer_cases_here()) {
        for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
            write_file(at("a.qvx"), frame_bytes(sample_frame(1, 0, 0)));
            write_file(at("b.qvx"), gaps);
            write_file(at("c.qvx"), frame_bytes(sample_frame(1, 0, 0)));
            write_earlier_outputs(root, {"a.csv", "a.log"});
            const std::vector<std::string> earlier = write_earlier_outputs(root, kept);
            hand_over(root, writer.user);
            std::string output;
            std::vector<std::string> temporaries_held;
            std::vector<std::string> outputs_held;
            run_setup setup = writer_setup(writer);
            setup.timeout_seconds = 60;
            const program_run run = run_quendix_with(root, {}, setup, [&](const char* bytes, size_t size) {
                const bool arrived = output.size() >= signal_at;
                output.append(bytes, size);
                if (!arrived && output.size() >= signal_at) {
                    // b.qvx's outputs exist only under their temporary names.
                    temporaries_held = temporary_files(root);
                    outputs_held = held_by(root, kept);
                    signal_running_program(signal_number);
                }
            });
            const std::string where = std::string(writer.name) + ", signal " + std::to_string(signal_number);
            EXPECT_EQ(run.exit_status, 128 + signal_number) << where;
            ASSERT_EQ(temporaries_held.size(), 2u) << where;
            std::sort(temporaries_held.begin(), temporaries_held.end());
            EXPECT_EQ(temporaries_held[0].compare(0, 15, ".b.csv.quendix-"), 0) << temporaries_held[0];
            EXPECT_EQ(temporaries_held[1].compare(0, 15, ".b.log.quendix-"), 0) << temporaries_held[1];
            EXPECT_EQ(outputs_held, earlier) << where;

            ASSERT_GT(output.size(), head.size() + tail.size()) << where;
            EXPECT_EQ(output.substr(0, head.size()), head) << where;
            EXPECT_EQ(output.substr(output.size() - tail.size()), tail) << where;
            // Whole "missing" lines between the two, and fewer than the file has.
            const std::string lines = output.substr(head.size(), output.size() - head.size() - tail.size());
            size_t count = 0;
            for (size_t start = 0; start < lines.size(); ++count) {
                const size_t end = lines.find('\n', start);
                ASSERT_NE(end, std::string::npos) << "a cut line at the end";
                EXPECT_EQ(lines.compare(start, 12, "  missing : "), 0) << lines.substr(start, end - start);
                start = end + 1;
            }
            EXPECT_LT(count, static_cast<size_t>(pairs)) << where;
            EXPECT_EQ(read_file(at("a.csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0))) << where;
            EXPECT_EQ(read_file(at("a.log")), "    start :   1,   0\r\n      end :   1,   0\r\n") << where;
            EXPECT_EQ(held_by(root, kept), earlier) << where;
            EXPECT_EQ(temporary_files(root), std::vector<std::string>{}) << where;
            EXPECT_EQ(read_file(at("b.qvx")), gaps) << where;
            fs::remove_all(root);
            fs::create_directories(root);
        }
    }
    if (writer_cases_here().size() == 1) {
        GTEST_SKIP() << "checked with the writer thread only: " << no_run_without_thread();
    }
}

TEST_F(HostileFs, AKilledReRunLeavesEachOutputWholeOrAsItWas)
{
    // A large recording of valid frames, each followed by one without the
    // marker, so that the report runs through the whole conversion. It is
    // converted once as `earlier` and once as `later`, and then `later` is
    // converted again over the earlier outputs and killed after a part of
    // its console text has arrived: at 8 points spread over its first
    // 77%, where the program, which can be ahead of the test by no more
    // than the pipe and its console buffers, is still converting, and once
    // after the whole console text.
    const int pairs = 50000;
    std::string earlier_recording;
    std::string later_recording;
    for (int i = 0; i < pairs; ++i) {
        const uint16_t block = static_cast<uint16_t>(1 + (2 * i) / 512);
        const uint16_t page = static_cast<uint16_t>((2 * i) % 512);
        earlier_recording += frame_bytes(sample_frame(block, page, static_cast<uint16_t>(i))) + erased_frame_bytes();
        later_recording += frame_bytes(sample_frame(block, page, static_cast<uint16_t>(i + 7))) + erased_frame_bytes();
    }
    write_file(at("earlier/big.qvx"), earlier_recording);
    write_file(at("later/big.qvx"), later_recording);
    ASSERT_EQ(run_quendix(at("earlier"), {}).exit_status, 0);
    const program_run whole = run_quendix(at("later"), {});
    ASSERT_EQ(whole.exit_status, 0);
    const std::string earlier_csv = read_file(at("earlier/big.csv"));
    const std::string earlier_log = read_file(at("earlier/big.log"));
    const std::string later_csv = read_file(at("later/big.csv"));
    const std::string later_log = read_file(at("later/big.log"));
    ASSERT_NE(earlier_csv, later_csv);
    ASSERT_GT(later_csv.size(), 10000000u);
    ASSERT_GT(whole.output.size(), 2000000u);

    const fs::path dir = at("rerun");
    write_file(dir / "big.qvx", later_recording);
    int killed_midway = 0;
    const int points = 9;
    for (int point = 1; point <= points; ++point) {
        write_file(dir / "big.csv", earlier_csv);
        write_file(dir / "big.log", earlier_log);
        const size_t kill_at = point < points ? whole.output.size() * static_cast<size_t>(3 * point - 1) / 30
                                              : whole.output.size();
        size_t received = 0;
        bool killed = false;
        run_setup setup;
        setup.timeout_seconds = 60;
        const program_run run = run_quendix_with(dir, {}, setup, [&](const char*, size_t size) {
            received += size;
            if (!killed && received >= kill_at) {
                killed = true;
                signal_running_program(SIGKILL);
            }
        });
        const std::string csv = read_file(dir / "big.csv");
        const std::string log = read_file(dir / "big.log");
        EXPECT_TRUE(csv == earlier_csv || csv == later_csv) << "point " << point << ": a CSV of " << csv.size();
        EXPECT_TRUE(log == earlier_log || log == later_log) << "point " << point << ": a log of " << log.size();
        if (run.exit_status == 128 + SIGKILL && point < points) {
            ++killed_midway;
        }
        // Nothing else is left but the run's temporary files, removed here.
        // The CSV's holds little more than its data: its blocks are
        // reserved no further ahead than the writes in flight need.
        std::vector<std::string> others;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            if (name.compare(0, 9, ".big.csv.") == 0 || name.compare(0, 9, ".big.log.") == 0) {
                struct stat st;
                ASSERT_EQ(stat(entry.path().c_str(), &st), 0);
                EXPECT_LE(static_cast<long long>(st.st_blocks) * 512, st.st_size + 2 * 1024 * 1024)
                    << "point " << point << ": " << name;
                fs::remove(entry.path());
            } else if (name != "big.qvx" && name != "big.csv" && name != "big.log") {
                others.push_back(name);
            }
        }
        EXPECT_EQ(others, std::vector<std::string>{}) << "point " << point;
        EXPECT_EQ(temporary_files(dir), std::vector<std::string>{});
    }
    EXPECT_EQ(killed_midway, points - 1);
    EXPECT_EQ(read_file(dir / "big.qvx"), later_recording);
}

// Every file under `dir`, as paths relative to it, and what each holds.
std::map<std::string, std::string> tree_contents(const fs::path& dir)
{
    std::map<std::string, std::string> contents;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            contents[fs::relative(entry.path(), dir).generic_string()] = read_file(entry.path());
        }
    }
    return contents;
}

TEST_F(HostileFs, ThreeRunsAtOnceOverOneTreeEachConvertEveryFileWhole)
{
    // 120 recordings in two directories, converted by three runs at once,
    // again and again over the outputs of the rounds before: every output
    // is whole, as a run alone writes it, and every run converts every
    // file. The runs replace each other's outputs, and the file system
    // gives the numbers of the replaced ones to the others' next files: no
    // run may take such a file for one of its own outputs ("not opened").
    for (int i = 0; i < 120; ++i) {
        std::string recording;
        for (int k = 0; k < 3 * (i + 1); ++k) {
            recording += frame_bytes(sample_frame(1, static_cast<uint16_t>(k), static_cast<uint16_t>(i + k)));
            if (k % 3 == 0) {
                recording += erased_frame_bytes();
            }
        }
        const std::string name = (i % 2 == 0 ? "tree/" : "tree/sub/") + std::to_string(i) + ".qvx";
        write_file(at(name), recording);
    }
    fs::copy(at("tree"), at("alone"), fs::copy_options::recursive);
    const program_run alone = run_quendix(at("alone"), {"-r"});
    ASSERT_EQ(alone.exit_status, 0);
    const std::map<std::string, std::string> expected = tree_contents(at("alone"));
    ASSERT_EQ(expected.size(), 360u);
    fs::create_directories(at("console"));
    for (int round = 0; round < 10; ++round) {
        EXPECT_EQ(run_quendix_at_once(at("tree"), {"-r"}, 3, 60, at("console")), (std::vector<int>{0, 0, 0}))
            << "round " << round;
        for (int run = 0; run < 3; ++run) {
            const std::string output = read_file(at("console/run" + std::to_string(run)));
            const size_t refused = output.find(", not opened.");
            EXPECT_EQ(refused, std::string::npos)
                << "round " << round << ", run " << run << ": " << output.substr(output.rfind('\n', refused) + 1, 40);
            EXPECT_TRUE(output == alone.output) << "round " << round << ", run " << run;
        }
        EXPECT_TRUE(tree_contents(at("tree")) == expected) << "round " << round;
    }
}

TEST_F(HostileFs, AFileThatGotTheNumberOfARemovedOutputIsNotTakenForIt)
{
    // While the program is held on b.qvx's long report, a.csv, which it
    // made, is removed, new files are made until one gets its inode number,
    // and that one is renamed over z.csv: z.qvx is still converted.
    std::string gaps = frame_bytes(sample_frame(1, 0, 0));
    for (int i = 0; i < 40000; ++i) {
        gaps += erased_frame_bytes();
    }
    write_file(at("a.qvx"), frame_bytes(sample_frame(1, 0, 0)));
    write_file(at("b.qvx"), gaps);
    write_file(at("z.qvx"), frame_bytes(sample_frame(1, 0, 5)));
    write_file(at("z.csv"), "earlier");
    const std::string head = one_frame_report("./a.qvx") + banner("./b.qvx");
    std::string output;
    bool acted = false;
    bool reused = false;
    run_setup setup;
    setup.timeout_seconds = 60;
    const program_run run = run_quendix_with(root, {}, setup, [&](const char* bytes, size_t size) {
        output.append(bytes, size);
        if (acted || output.size() < head.size()) {
            return;
        }
        acted = true;
        struct stat made;
        if (stat(at("a.csv").c_str(), &made) != 0 || unlink(at("a.csv").c_str()) != 0) {
            return;
        }
        for (int k = 0; k < 1000 && !reused; ++k) {
            const fs::path filler = at("filler" + std::to_string(k));
            write_file(filler, "not an output of the run");
            struct stat st;
            reused = stat(filler.c_str(), &st) == 0 && st.st_ino == made.st_ino && st.st_dev == made.st_dev;
            if (reused) {
                fs::rename(filler, at("z.csv"));
            }
        }
    });
    ASSERT_TRUE(acted);
    if (!reused) {
        GTEST_SKIP() << "this file system gave the number of a removed file to none of 1,000 new ones";
    }
    EXPECT_EQ(run.exit_status, 0);
    const std::string tail = one_frame_report("./z.qvx");
    ASSERT_GT(output.size(), tail.size());
    EXPECT_EQ(output.substr(output.size() - tail.size()), tail);
    EXPECT_EQ(read_file(at("z.csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 5)));
}

TEST_F(HostileFs, ARunInterruptedBesideAnotherRemovesNothingOfTheOthers)
{
    // Run A is held on b.qvx's long report while run B converts the same
    // files to their end; A is then interrupted. B's outputs stay, and A
    // leaves nothing.
    std::string gaps = frame_bytes(sample_frame(1, 0, 0));
    for (int i = 0; i < 40000; ++i) {
        gaps += erased_frame_bytes();
    }
    write_file(at("tree/a.qvx"), frame_bytes(sample_frame(1, 0, 0)));
    write_file(at("tree/b.qvx"), gaps);
    fs::copy(at("tree"), at("alone"), fs::copy_options::recursive);
    ASSERT_EQ(run_quendix(at("alone"), {}).exit_status, 0);
    const std::map<std::string, std::string> expected = tree_contents(at("alone"));

    const std::string head = one_frame_report("./a.qvx") + banner("./b.qvx") + "    start :   1,   0\n";
    std::string output;
    int other_status = -1;
    run_setup setup;
    setup.timeout_seconds = 60;
    const program_run run = run_quendix_with(at("tree"), {}, setup, [&](const char* bytes, size_t size) {
        const bool arrived = output.size() >= head.size();
        output.append(bytes, size);
        if (!arrived && output.size() >= head.size()) {
            other_status = run_quendix(at("tree"), {}).exit_status;
            signal_running_program(SIGINT);
        }
    });
    EXPECT_EQ(other_status, 0);
    EXPECT_EQ(run.exit_status, 128 + SIGINT);
    const std::string tail = "quendix : ./b.qvx, interrupted.\n";
    ASSERT_GT(output.size(), tail.size());
    EXPECT_EQ(output.substr(output.size() - tail.size()), tail);
    EXPECT_TRUE(tree_contents(at("tree")) == expected);
    EXPECT_EQ(temporary_files(at("tree")), std::vector<std::string>{});
}

TEST_F(HostileFs, TheTemporaryFilesOfAnotherRunAreNoRecordings)
{
    // Under the selector '*', the files another run is writing its outputs
    // to are passed over: converting them would leave outputs of outputs.
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    write_file(at("a.qvx"), frame);
    const std::vector<std::string> temporaries = {".big.csv.quendix-LJx2Qa", ".big.log.quendix-09zZaA"};
    for (const std::string& name : temporaries) {
        write_file(at(name), frame);
    }
    const program_run run = run_quendix(root, {"*"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, one_frame_report("./a.qvx"));
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{temporaries[0], temporaries[1], "a.csv", "a.log", "a.qvx"}));
    for (const std::string& name : temporaries) {
        EXPECT_EQ(read_file(at(name)), frame) << name;
    }
}

TEST_F(HostileFs, OutputsAreAsPrivateAsTheirRecording)
{
    struct permission_case {
        mode_t recording;
        mode_t mask;
        mode_t outputs;
    };
    const permission_case cases[] = {
        {0600, 022, 0600}, {0644, 022, 0644}, {0666, 022, 0644}, {0640, 027, 0640},
        {0666, 077, 0600}, {0400, 022, 0400}, {0755, 022, 0644},
    };
    const mode_t own_mask = umask(0);
    for (const permission_case& c : cases) {
        write_file(at("a.qvx"), frame_bytes(sample_frame(1, 0, 0)));
        write_file(at("a.csv"), "earlier");  // replaced, whatever its mode
        ASSERT_EQ(chmod(at("a.qvx").c_str(), c.recording), 0);
        umask(c.mask);
        const program_run run = run_quendix(root, {});
        umask(0);
        EXPECT_EQ(run.exit_status, 0);
        for (const char* output : {"a.csv", "a.log"}) {
            struct stat st;
            ASSERT_EQ(stat(at(output).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, c.outputs)
                << output << " of a recording of mode 0" << std::oct << c.recording << " under the mask 0" << c.mask;
        }
        fs::remove_all(root);
        fs::create_directories(root);
    }
    umask(own_mask);
}

TEST_F(HostileFs, OutputsInASetGroupIdDirectoryTakeTheRecordingsGroupOrNone)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "not root: files of other groups cannot be made, nor runs as another user";
    }
    // The directory is set-group-ID with the group 100, which new files
    // inherit; the recording is of mode 0640. An output gets the
    // recording's group where the run's user may give it that, else no
    // group or other bits.
    struct group_case {
        int user;  // -1: root
        gid_t recording_group;
        gid_t group;  // the outputs'
        mode_t mode;
    };
    const group_case cases[] = {
        {-1, 0, 0, 0640},
        {65534, 65534, 65534, 0640},  // the user's own group
        {65534, 0, 100, 0600},        // a group the user is not in
    };
    const mode_t own_mask = umask(022);
    for (const group_case& c : cases) {
        const std::string label = "run by " + std::to_string(c.user) + ", recording of group " +
                                  std::to_string(c.recording_group);
        fs::create_directories(at("shared"));
        ASSERT_EQ(chown(at("shared").c_str(), 0, 100), 0);
        ASSERT_EQ(chmod(at("shared").c_str(), 02777), 0);
        write_file(at("shared/a.qvx"), frame_bytes(sample_frame(1, 0, 0)));
        const uid_t owner = c.user < 0 ? 0 : static_cast<uid_t>(c.user);
        ASSERT_EQ(chown(at("shared/a.qvx").c_str(), owner, c.recording_group), 0);
        ASSERT_EQ(chmod(at("shared/a.qvx").c_str(), 0640), 0);
        run_setup setup;
        setup.user = c.user;
        std::string output;
        const program_run run = run_quendix_with(
            at("shared"), {}, setup, [&output](const char* bytes, size_t size) { output.append(bytes, size); });
        EXPECT_EQ(run.exit_status, 0) << label;
        EXPECT_EQ(output, one_frame_report("./a.qvx")) << label;
        for (const char* name : {"shared/a.csv", "shared/a.log"}) {
            struct stat st;
            ASSERT_EQ(stat(at(name).c_str(), &st), 0) << label;
            EXPECT_EQ(st.st_gid, c.group) << name << ", " << label;
            EXPECT_EQ(st.st_mode & 07777, c.mode) << name << ", " << label;
        }
        fs::remove_all(root);
        fs::create_directories(root);
    }
    umask(own_mask);
}

TEST_F(HostileFs, AnOutputNameTheUserMayNotReplaceIsNotOpenedBeforeAnythingIsMade)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "not root: files of other users cannot be made, nor runs as another user";
    }
    // User 65534 re-runs in a sticky directory where the earlier log
    // belongs to root: only the directory's owner may replace it there.
    struct sticky_case {
        uid_t directory_owner;
        bool replaced;
    };
    const sticky_case cases[] = {{0, false}, {65534, true}};
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    for (const sticky_case& c : cases) {
        fs::create_directories(at("sticky"));
        ASSERT_EQ(chown(at("sticky").c_str(), c.directory_owner, c.directory_owner), 0);
        ASSERT_EQ(chmod(at("sticky").c_str(), 01777), 0);
        write_file(at("sticky/x.qvx"), frame);
        write_file(at("sticky/x.csv"), "earlier csv");
        write_file(at("sticky/x.log"), "earlier log");
        for (const char* name : {"sticky/x.qvx", "sticky/x.csv"}) {
            ASSERT_EQ(chown(at(name).c_str(), 65534, 65534), 0);
        }
        run_setup setup;
        setup.user = 65534;
        std::string output;
        const program_run run = run_quendix_with(
            at("sticky"), {}, setup, [&output](const char* bytes, size_t size) { output.append(bytes, size); });
        EXPECT_EQ(run.exit_status, 0) << c.directory_owner;
        if (c.replaced) {
            EXPECT_EQ(output, one_frame_report("./x.qvx"));
            EXPECT_EQ(read_file(at("sticky/x.csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0)));
            EXPECT_EQ(read_file(at("sticky/x.log")), "    start :   1,   0\r\n      end :   1,   0\r\n");
        } else {
            EXPECT_EQ(output, banner("./x.qvx") + not_opened("./x.log"));
            EXPECT_EQ(read_file(at("sticky/x.csv")), "earlier csv");
            EXPECT_EQ(read_file(at("sticky/x.log")), "earlier log");
        }
        EXPECT_EQ(temporary_files(at("sticky")), std::vector<std::string>{}) << c.directory_owner;
        fs::remove_all(root);
        fs::create_directories(root);
    }
}

TEST_F(HostileFs, LinksOfAnotherUserAreNotFollowed)
{
    // A file link l.qvx or a directory link d in `tree` leads to `target`;
    // the link belongs to `owner` and the run to `user` (-1: the tests' own).
    struct link_case {
        int user;
        int owner;
        bool to_directory;
        bool followed;
    };
    const int self = static_cast<int>(geteuid());
    std::vector<link_case> cases = {{-1, self, false, true}, {-1, self, true, true}};
    const bool as_root = self == 0;
    if (as_root) {
        cases.insert(cases.end(), {{-1, 65534, false, false}, {-1, 65534, true, false}});
    }
    // The runs as user 65534 take a copy of the program that user can reach.
    std::string no_copy;
    const bool as_other_user = as_root && !quendix_for_other_users(no_copy).empty();
    if (as_other_user) {
        cases.insert(cases.end(), {
                                      {65534, 65534, false, true},
                                      {65534, 65534, true, true},
                                      {65534, 0, false, true},
                                      {65534, 0, true, true},
                                      {65534, 65533, false, false},
                                      {65534, 65533, true, false},
                                  });
    }
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    for (const link_case& c : cases) {
        const std::string label = "run by " + std::to_string(c.user) + ", link of " + std::to_string(c.owner) +
                                  (c.to_directory ? " to a directory" : " to a file");
        write_file(at("target/t.qvx"), frame);
        fs::create_directories(at("tree"));
        const fs::path link = at(c.to_directory ? "tree/d" : "tree/l.qvx");
        ASSERT_EQ(symlink(c.to_directory ? "../target" : "../target/t.qvx", link.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), static_cast<uid_t>(c.owner), static_cast<gid_t>(c.owner)), 0) << label;
        if (c.user >= 0) {
            for (const char* dir : {"target", "target/t.qvx", "tree"}) {
                ASSERT_EQ(chown(at(dir).c_str(), static_cast<uid_t>(c.user), static_cast<gid_t>(c.user)), 0);
            }
        }
        std::string output;
        run_setup setup;
        setup.user = c.user;
        const program_run run = run_quendix_with(
            at("tree"), {"-r"}, setup, [&output](const char* bytes, size_t size) { output.append(bytes, size); });
        EXPECT_EQ(run.exit_status, 0) << label;
        if (c.to_directory) {
            EXPECT_EQ(output, c.followed ? one_frame_report("./d/t.qvx") : "") << label;
            EXPECT_EQ(fs::exists(at("target/t.csv")), c.followed) << label;
        } else {
            EXPECT_EQ(output, c.followed ? one_frame_report("./l.qvx") : banner("./l.qvx") + not_opened("./l.qvx"))
                << label;
            EXPECT_EQ(fs::exists(at("tree/l.csv")), c.followed) << label;
        }
        EXPECT_EQ(read_file(at("target/t.qvx")), frame);
        fs::remove_all(root);
        fs::create_directories(root);
    }
    if (!as_root) {
        GTEST_SKIP() << "not root: links of other users cannot be made, nor runs as another user";
    }
    if (!as_other_user) {
        GTEST_SKIP() << "no runs as another user: " << no_copy;
    }
}

TEST_F(HostileFs, AReadErrorIsReportedAsNotRead)
{
    // Reading a process's own memory from address 0 fails at once.
    std::error_code error;
    fs::create_symlink("/proc/self/mem", at("m.qvx"), error);
    if (error || !fs::exists("/proc/self/mem")) {
        GTEST_SKIP() << "no /proc/self/mem to fail a read";
    }
    const program_run run = run_quendix(root, {});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, banner("./m.qvx") + "      end :   0,   0\n" + "quendix : ./m.qvx, not read.\n");
    EXPECT_EQ(read_file(at("m.csv")), CSV_HEADER_LINE);
    EXPECT_EQ(read_file(at("m.log")), "      end :   0,   0\r\n");
}

TEST_F(HostileFs, ClosedStandardStreamsReceiveNoOutputFile)
{
    // The input would take descriptor 0 and the CSV descriptor 1, where the
    // console's lines, many more than its buffer holds, would land.
    std::string input;
    std::string log;
    for (int i = 0; i < 5000; ++i) {
        input += erased_frame_bytes();
        char line[64];
        std::snprintf(line, sizeof line, "  missing : %3d, %3d -> 65535, 65535 (%d)\r\n", i / 512, i % 512, 132 * i);
        log += line;
    }
    const gen_frame last = sample_frame(5000 / 512, 5000 % 512, 0);
    input += frame_bytes(last);
    log += "      end :   9, 392\r\n";
    write_file(at("a.qvx"), input);
    run_setup setup;
    setup.closed_streams = true;
    const program_run run = run_quendix_with(root, {}, setup, [](const char*, size_t) {});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(read_file(at("a.csv")), CSV_HEADER_LINE + expected_rows(last));
    EXPECT_EQ(read_file(at("a.log")), log);
    EXPECT_EQ(read_file(at("a.qvx")), input);
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
    std::string expected = banner("./dangling.qvx") + not_opened("./dangling.qvx") + banner("./fifo.qvx") +
                           not_opened("./fifo.qvx");
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

TEST_F(HostileFs, WritesPastTheFileSizeLimitAreReportedAsNotWritten)
{
    // A run over the outputs of an earlier one. Under a limit of 64 KiB,
    // a.qvx's CSV and b.qvx's log outgrow it: the earlier outputs of both
    // files stay as they were, and the run goes on to c.qvx; the same
    // whether the writer thread writes the CSV or not.
    constexpr unsigned long long limit = 64 * 1024;
    std::string many_frames;
    std::string rows;
    for (int i = 0; i < 300; ++i) {
        many_frames += frame_bytes(sample_frame(1, static_cast<uint16_t>(i), 0));
        rows += expected_rows(sample_frame(1, static_cast<uint16_t>(i), 0));
    }
    ASSERT_GT(CSV_HEADER_LINE.size() + rows.size(), limit);
    std::string gaps = frame_bytes(sample_frame(1, 0, 0));
    std::string gap_lines = "    start :   1,   0\n";
    for (int i = 1; i <= 2000; ++i) {
        gaps += erased_frame_bytes();
        char line[64];
        std::snprintf(line, sizeof line, "  missing : %3d, %3d -> 65535, 65535 (%d)\n", 1 + i / 512, i % 512, 132 * i);
        gap_lines += line;
    }
    gap_lines += "      end : 65535, 65535\n";
    ASSERT_GT(gap_lines.size(), limit);
    write_file(at("a.qvx"), many_frames);
    write_file(at("b.qvx"), gaps);
    write_file(at("c.qvx"), frame_bytes(sample_frame(1, 0, 0)));
    const std::vector<std::string> kept = {"a.csv", "a.log", "b.csv", "b.log"};
    const std::vector<std::string> earlier = write_earlier_outputs(root, kept);

    for (const writer_case& writer : writer_cases_here()) {
        write_earlier_outputs(root, {"c.csv"});
        hand_over(root, writer.user);
        run_setup setup = writer_setup(writer);
        setup.file_size_limit = limit;
        const std::string refused = writer.name;
        std::string output;
        const program_run run = run_quendix_with(
            root, {}, setup, [&output](const char* bytes, size_t size) { output.append(bytes, size); });
        EXPECT_EQ(run.exit_status, 0) << refused;
        EXPECT_EQ(output, banner("./a.qvx") + "    start :   1,   0\n      end :   1, 299\n" + not_written("./a.csv") +
                              banner("./b.qvx") + gap_lines + not_written("./b.log") + one_frame_report("./c.qvx"))
            << refused;
        EXPECT_EQ(held_by(root, kept), earlier) << refused;
        EXPECT_EQ(read_file(at("c.csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0))) << refused;
        EXPECT_EQ(temporary_files(root), std::vector<std::string>{}) << refused;
    }
    if (writer_cases_here().size() == 1) {
        GTEST_SKIP() << "checked with the writer thread only: " << no_run_without_thread();
    }
}

// Recordings of every size a run meets: none, one frame, a few, and one
// of 20000 frames whose CSV takes several of the writer's buffers, so that
// buffers are reused after their writes and blocks reserved ahead are cut
// off at the end.
void write_recordings_of_every_size(const fs::path& dir)
{
    std::string frames;
    for (int i = 0; i < 20000; ++i) {
        frames += frame_bytes(sample_frame(static_cast<uint16_t>(1 + i / 512), static_cast<uint16_t>(i % 512),
                                           static_cast<uint16_t>(9 * i)));
    }
    write_file(dir / "big.qvx", frames);
    write_file(dir / "empty.qvx", "");
    write_file(dir / "one.qvx", frames.substr(0, GEN_FRAME_SIZE));
    write_file(dir / "few.qvx", frames.substr(0, 3 * GEN_FRAME_SIZE));
}

TEST_F(HostileFs, AtTheProcessLimitEveryFileConvertsAsWithTheThread)
{
    const std::string why_not = no_run_without_thread();
    if (!why_not.empty()) {
        GTEST_SKIP() << why_not;
    }
    // User 65534 converts the same recordings without a limit and under
    // `ulimit -u 1`, where the program can start no thread: the same
    // console text and the same outputs, byte for byte.
    std::map<std::string, std::string> outputs[2];
    std::string consoles[2];
    const writer_case unlimited = {"user 65534 without a limit", 65534, 0};
    const writer_case* cases[2] = {&unlimited, &without_thread};
    for (int k = 0; k < 2; ++k) {
        const fs::path dir = at(k == 0 ? "unlimited" : "limited");
        write_recordings_of_every_size(dir);
        hand_over(dir, 65534);
        const program_run run = run_quendix_with(
            dir, {}, writer_setup(*cases[k]), [&](const char* bytes, size_t size) { consoles[k].append(bytes, size); });
        EXPECT_EQ(run.exit_status, 0) << cases[k]->name;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            outputs[k][entry.path().filename().string()] = read_file(entry.path());
        }
        struct stat st;
        ASSERT_EQ(stat((dir / "big.csv").c_str(), &st), 0) << cases[k]->name;
        // No block reserved past the end is kept: at most the last one is partly used.
        EXPECT_LE(static_cast<long long>(st.st_blocks) * 512, st.st_size + 65536) << cases[k]->name;
    }
    EXPECT_EQ(consoles[1], consoles[0]);
    EXPECT_EQ(outputs[1], outputs[0]);
    ASSERT_EQ(outputs[0].size(), 12u);
    EXPECT_EQ(outputs[0]["empty.csv"], CSV_HEADER_LINE);
    EXPECT_EQ(outputs[0]["one.csv"], CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0)));
    EXPECT_EQ(outputs[0]["big.log"], lines({"    start :   1,   0", "      end :  40,  31"}, "\r\n"));
    std::string rows = CSV_HEADER_LINE;
    for (int i = 0; i < 20000; ++i) {
        rows += expected_rows(sample_frame(static_cast<uint16_t>(1 + i / 512), static_cast<uint16_t>(i % 512),
                                           static_cast<uint16_t>(9 * i)));
    }
    EXPECT_EQ(outputs[0]["big.csv"], rows);
}

TEST_F(HostileFs, EveryRunEndsWithTheWriterThreadAndWithout)
{
    // Many small files and one large one, in a run that the harness kills
    // should it outlast its timeout: each run ends by itself, having
    // converted every file, whether the thread writes or not.
    std::string large;
    std::string large_rows = CSV_HEADER_LINE;
    for (int i = 0; i < 60000; ++i) {
        const gen_frame frame = sample_frame(static_cast<uint16_t>(1 + i / 512), static_cast<uint16_t>(i % 512),
                                             static_cast<uint16_t>(i));
        large += frame_bytes(frame);
        large_rows += expected_rows(frame);
    }
    const std::string small = frame_bytes(sample_frame(1, 0, 0));
    const int small_files = 300;
    for (const writer_case& writer : writer_cases_here()) {
        write_file(at("large.qvx"), large);
        for (int i = 0; i < small_files; ++i) {
            write_file(at("s" + std::to_string(i) + ".qvx"), small);
        }
        hand_over(root, writer.user);
        run_setup setup = writer_setup(writer);
        setup.timeout_seconds = 120;
        std::string output;
        const program_run run = run_quendix_with(
            root, {}, setup, [&output](const char* bytes, size_t size) { output.append(bytes, size); });
        EXPECT_EQ(run.exit_status, 0) << writer.name;
        EXPECT_EQ(output.find("quendix : "), std::string::npos) << writer.name;
        EXPECT_EQ(read_file(at("large.csv")), large_rows) << writer.name;
        int csv_files = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
            csv_files += entry.path().extension() == ".csv" ? 1 : 0;
        }
        EXPECT_EQ(csv_files, small_files + 1) << writer.name;
        EXPECT_EQ(read_file(at("s299.csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0))) << writer.name;
        EXPECT_EQ(temporary_files(root), std::vector<std::string>{}) << writer.name;
        fs::remove_all(root);
        fs::create_directories(root);
    }
    if (writer_cases_here().size() == 1) {
        GTEST_SKIP() << "checked with the writer thread only: " << no_run_without_thread();
    }
}

// A small ext4 file system made in an image file and mounted through a
// loop device at `mount_point` for as long as the object lives. `why_not`
// says why it could not be had, or is empty.
struct ext4_image {
    fs::path mount_point;
    std::string why_not;

    ext4_image(const fs::path& image, const fs::path& point, unsigned mib) : mount_point(point)
    {
        if (geteuid() != 0) {
            why_not = "not root: no file system can be mounted";
            return;
        }
        fs::create_directories(point);
        const std::string quiet = " >/dev/null 2>&1";
        if (std::system(("truncate -s " + std::to_string(mib) + "M '" + image.string() + "'" + quiet).c_str()) != 0 ||
            std::system(("mkfs.ext4 -q -F -m 0 '" + image.string() + "'" + quiet).c_str()) != 0) {
            why_not = "no ext4 file system could be made with mkfs.ext4";
        } else if (std::system(("mount -o loop '" + image.string() + "' '" + point.string() + "'" + quiet).c_str()) !=
                   0) {
            why_not = "no loop device could be had to mount an ext4 image";
        }
    }

    ~ext4_image()
    {
        if (why_not.empty()) {
            std::system(("umount '" + mount_point.string() + "' >/dev/null 2>&1").c_str());
        }
    }
};

// The bytes the user may still write on the file system of `dir`.
unsigned long long free_bytes(const fs::path& dir)
{
    struct statvfs volume;
    return statvfs(dir.c_str(), &volume) == 0 ? static_cast<unsigned long long>(volume.f_bavail) * volume.f_frsize : 0;
}

TEST_F(HostileFs, OnANearlyFullDiskWhatFitsConvertsAndWhatDoesNotIsNotWritten)
{
    ext4_image disk(at("disk.img"), at("disk"), 64);
    if (!disk.why_not.empty()) {
        GTEST_SKIP() << disk.why_not;
    }
    // a.qvx's CSV and log fit in the free space with a quarter of a MiB to
    // spare, which no reservation of the CSV's blocks may take from the
    // log; b.qvx's CSV is far larger than what is left, and its earlier
    // outputs stay.
    const fs::path dir = disk.mount_point / "run";
    std::string a_frames;
    std::string a_rows = CSV_HEADER_LINE;
    for (int i = 0; i < 6000; ++i) {
        const gen_frame frame = sample_frame(static_cast<uint16_t>(1 + i / 512), static_cast<uint16_t>(i % 512),
                                             static_cast<uint16_t>(i));
        a_frames += frame_bytes(frame);
        a_rows += expected_rows(frame);
    }
    std::string b_frames;
    for (int i = 0; i < 40000; ++i) {
        b_frames += frame_bytes(
            sample_frame(static_cast<uint16_t>(1 + i / 512), static_cast<uint16_t>(i % 512), static_cast<uint16_t>(i)));
    }
    const std::string a_log = "    start :   1,   0\r\n      end :  12, 367\r\n";
    write_file(dir / "a.qvx", a_frames);
    write_file(dir / "b.qvx", b_frames);
    const std::vector<std::string> kept = {"b.csv", "b.log"};
    const std::vector<std::string> earlier = write_earlier_outputs(dir, kept);
    // The rest of the disk, but for that room, goes to a file of its own.
    const unsigned long long room = a_rows.size() + a_log.size() + 256 * 1024;
    const int filler = open((disk.mount_point / "filler").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(filler, 0);
    ASSERT_GT(free_bytes(dir), room + 1024 * 1024);
    EXPECT_EQ(posix_fallocate(filler, 0, static_cast<off_t>(free_bytes(dir) - room)), 0);
    fsync(filler);
    close(filler);
    ASSERT_GE(free_bytes(dir), a_rows.size() + a_log.size() + 128 * 1024);
    ASSERT_LE(free_bytes(dir), room + 256 * 1024);

    std::string output;
    const program_run run = run_quendix_with(dir, {}, run_setup(),
                                             [&output](const char* bytes, size_t size) { output.append(bytes, size); });
    EXPECT_EQ(run.exit_status, 0);
    // Whether b.qvx's small log still found a block once its CSV had
    // taken the rest is the file system's business; either way b.qvx's
    // outputs replace nothing.
    const std::string reports = banner("./a.qvx") + "    start :   1,   0\n      end :  12, 367\n" + banner("./b.qvx") +
                                "    start :   1,   0\n      end :  79,  63\n";
    EXPECT_TRUE(output == reports + not_written("./b.csv") ||
                output == reports + not_written("./b.log") + not_written("./b.csv"))
        << output;
    EXPECT_EQ(read_file(dir / "a.csv"), a_rows);
    EXPECT_EQ(read_file(dir / "a.log"), a_log);
    EXPECT_EQ(held_by(dir, kept), earlier);
    EXPECT_EQ(temporary_files(dir), std::vector<std::string>{});
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

TEST_F(HostileFs, LinkLoopsAreNotOpenedAndAnAncestorIsNotEnteredAgain)
{
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    write_file(at("a.qvx"), frame);
    write_file(at("m/n/k.qvx"), frame);
    std::error_code error;
    fs::create_symlink("loop2.qvx", at("loop1.qvx"), error);
    if (!error) {
        fs::create_symlink("loop1.qvx", at("loop2.qvx"), error);
    }
    if (!error) {
        fs::create_symlink("spin", at("spin"), error);  // a loop that is no file name match
    }
    if (!error) {
        fs::create_directory_symlink("../..", at("m/n/top"), error);
    }
    if (error) {
        GTEST_SKIP() << "links cannot be made here: " << error.message();
    }
    const program_run run = run_quendix(root, {"-r"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, one_frame_report("./a.qvx") + banner("./loop1.qvx") + not_opened("./loop1.qvx") +
                              banner("./loop2.qvx") + not_opened("./loop2.qvx") + one_frame_report("./m/n/k.qvx"));
    EXPECT_EQ(read_file(at("a.qvx")), frame);
    EXPECT_EQ(read_file(at("m/n/k.qvx")), frame);
    EXPECT_EQ(fs::read_symlink(at("loop1.qvx")), "loop2.qvx");
    EXPECT_FALSE(fs::exists(fs::symlink_status(at("loop1.csv"))));
}

TEST_F(HostileFs, AFileDeletedAfterTheListingIsNotOpened)
{
    // The first file's report is far larger than the pipe and the program's
    // own output buffer together, so once its first piece has arrived the
    // program is still converting it, with the listing already taken, and
    // waits for the test to read on. The second file is deleted then.
    const std::string erased = erased_frame_bytes();
    std::string big;
    for (int i = 0; i < 40000; ++i) {
        big += erased;
    }
    write_file(at("a.qvx"), big);
    write_file(at("b.qvx"), frame_bytes(sample_frame(1, 0, 0)));
    std::string output;
    bool deleted = false;
    run_setup setup;
    setup.timeout_seconds = 60;
    const program_run run = run_quendix_with(root, {}, setup, [&](const char* bytes, size_t size) {
        if (!deleted) {
            deleted = fs::remove(at("b.qvx"));
        }
        output.append(bytes, size);
    });
    ASSERT_TRUE(deleted);
    EXPECT_EQ(run.exit_status, 0);
    const std::string first = banner("./a.qvx");
    const std::string last = banner("./b.qvx") + not_opened("./b.qvx");
    ASSERT_GT(output.size(), 1000000u);
    EXPECT_EQ(output.compare(0, first.size(), first), 0);
    EXPECT_EQ(output.substr(output.size() - last.size()), last);
    EXPECT_EQ(read_file(at("a.qvx")), big);
    EXPECT_FALSE(fs::exists(at("b.csv")));
    EXPECT_FALSE(fs::exists(at("b.log")));
}

TEST_F(HostileFs, AConsoleThatWentAwayDoesNotStopTheConversions)
{
    // Enough report text to fill the console buffer many times over while
    // the first file is converted, then a second file.
    std::string gaps;
    for (int i = 0; i < 20000; ++i) {
        gaps += erased_frame_bytes();
    }
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    write_file(at("a.qvx"), gaps + frame);
    write_file(at("b.qvx"), frame);
    run_setup setup;
    setup.unread_output = true;
    EXPECT_EQ(run_quendix_with(root, {}, setup, [](const char*, size_t) {}).exit_status, 0);
    const std::string a_log = read_file(at("a.log"));
    EXPECT_EQ(a_log.substr(a_log.size() - 24), "\r\n      end :   1,   0\r\n");
    EXPECT_EQ(read_file(at("a.csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0)));
    EXPECT_EQ(read_file(at("b.log")), "    start :   1,   0\r\n      end :   1,   0\r\n");
    EXPECT_EQ(read_file(at("a.qvx")), gaps + frame);
}

TEST_F(HostileFs, ATreeThreeHundredDirectoriesDeep)
{
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    std::string deep;
    std::string middle;
    for (int level = 1; level <= 300; ++level) {
        deep += "d/";
        if (level == 150) {
            middle = deep;
        }
    }
    write_file(at("a.qvx"), frame);
    write_file(at(middle + "m.qvx"), frame);
    write_file(at(deep + "z.qvx"), frame);
    const program_run run = run_quendix(root, {"-r"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, one_frame_report("./a.qvx") + one_frame_report("./" + middle + "m.qvx") +
                              one_frame_report("./" + deep + "z.qvx"));
    const std::string csv = CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0));
    EXPECT_EQ(read_file(at(deep + "z.csv")), csv);
    EXPECT_EQ(read_file(at(middle + "m.csv")), csv);
    EXPECT_EQ(read_file(at(deep + "z.qvx")), frame);
}

// A chain of nested directories too long for the system's path functions,
// made, read and removed through directory handles.
class deep_tree {
public:
    // Makes `levels` directories named `name`, one in the other, under `top`.
    deep_tree(const fs::path& top, const std::string& name, int levels) : name_(name)
    {
        fds_.push_back(open(top.c_str(), O_RDONLY | O_DIRECTORY));
        for (int level = 0; level < levels && fds_.back() >= 0; ++level) {
            mkdirat(fds_.back(), name.c_str(), 0700);
            fds_.push_back(openat(fds_.back(), name.c_str(), O_RDONLY | O_DIRECTORY));
        }
    }

    ~deep_tree()
    {
        for (size_t level = fds_.size(); level-- > 0;) {
            if (fds_[level] < 0) {
                continue;
            }
            if (DIR* dir = fdopendir(dup(fds_[level]))) {
                while (const struct dirent* entry = readdir(dir)) {
                    unlinkat(fds_[level], entry->d_name, 0);  // fails for "." and ".." and directories
                }
                closedir(dir);
            }
            if (level + 1 < fds_.size()) {
                unlinkat(fds_[level], name_.c_str(), AT_REMOVEDIR);
            }
            close(fds_[level]);
        }
    }

    bool made() const { return fds_.back() >= 0; }

    // Writes `bytes` to `file` in the deepest directory.
    void write(const std::string& file, const std::string& bytes) const
    {
        const int fd = openat(fds_.back(), file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
    }

    // The bytes of `file` in the deepest directory; empty when it is not there.
    std::string read(const std::string& file) const
    {
        std::string bytes;
        const int fd = openat(fds_.back(), file.c_str(), O_RDONLY);
        char buffer[4096];
        ssize_t n;
        while (fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
            bytes.append(buffer, static_cast<size_t>(n));
        }
        if (fd >= 0) {
            close(fd);
        }
        return bytes;
    }

private:
    std::string name_;
    std::vector<int> fds_;
};

TEST_F(HostileFs, ATreeWhosePathsExceedThePathLimitConverts)
{
    const std::string name(200, 'd');
    const int levels = static_cast<int>(PATH_MAX / (name.size() + 1)) + 2;
    std::string deep = "./";
    for (int level = 0; level < levels; ++level) {
        deep += name + "/";
    }
    ASSERT_GT(deep.size(), static_cast<size_t>(PATH_MAX));
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    write_file(at("a.qvx"), frame);
    const deep_tree tree(root, name, levels);
    ASSERT_TRUE(tree.made());
    tree.write("z.qvx", frame);

    const program_run run = run_quendix(root, {"-r"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, one_frame_report("./a.qvx") + one_frame_report(deep + "z.qvx"));
    EXPECT_EQ(tree.read("z.csv"), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0)));
    EXPECT_EQ(tree.read("z.log"), "    start :   1,   0\r\n      end :   1,   0\r\n");
    EXPECT_EQ(tree.read("z.qvx"), frame);
}

TEST_F(HostileFs, ADirectoryReplacedByALinkMidRunKeepsItsFilesOutputs)
{
    // While the program is held on sub/a.qvx's report, sub is renamed and a
    // link to another directory takes its name: sub/b.qvx, listed already,
    // is still read from and written beside in the directory it was found in.
    std::string gaps;
    for (int i = 0; i < 40000; ++i) {
        gaps += erased_frame_bytes();
    }
    write_file(at("sub/a.qvx"), gaps);
    write_file(at("sub/b.qvx"), frame_bytes(sample_frame(1, 0, 0)));
    fs::create_directories(at("elsewhere"));
    std::error_code error;
    bool replaced = false;
    run_setup setup;
    setup.timeout_seconds = 60;
    const program_run run = run_quendix_with(root, {"-r"}, setup, [&](const char*, size_t) {
        if (!replaced && !error) {
            fs::rename(at("sub"), at("moved"), error);
            if (!error) {
                fs::create_directory_symlink("elsewhere", at("sub"), error);
            }
            replaced = !error;
        }
    });
    ASSERT_TRUE(replaced) << error.message();
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(read_file(at("moved/b.csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0)));
    EXPECT_EQ(read_file(at("moved/b.log")), "    start :   1,   0\r\n      end :   1,   0\r\n");
    EXPECT_TRUE(fs::exists(at("moved/a.csv")));
    EXPECT_TRUE(fs::is_empty(at("elsewhere")));
}

TEST_F(HostileFs, NamesAreExactOnAPipeAndCannotDriveATerminal)
{
    // Each name as a pipe shows it, byte for byte, and as a terminal does,
    // with every control byte, C1 control and byte that is not part of
    // well-formed UTF-8 a "?" (overlong forms, surrogates, code points
    // above U+10FFFF and cut sequences among them). Two are
    // directories, entered after the files: one named to clear the screen
    // and forge a banner.
    struct name_case {
        std::string name;
        std::string on_terminal;
    };
    const std::vector<name_case> cases = {
        {"a b.qvx", "a b.qvx"},
        {"back\\slash.qvx", "back\\slash.qvx"},
        {"caf\xc3\xa9.qvx", "caf\xc3\xa9.qvx"},
        {"it's.qvx", "it's.qvx"},
        {"say \"hi\".qvx", "say \"hi\".qvx"},
        {"tab\there.qvx", "tab?here.qvx"},
        {"\xff\xfe raw.qvx", "?? raw.qvx"},
        {"csi\x9b"
         "2J.qvx",
         "csi?2J.qvx"},  // a lone 8-bit CSI
        {"bad\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82x.qvx", "bad???????????x.qvx"},
        {"chart\xf0\x9f\x93\x88.qvx", "chart\xf0\x9f\x93\x88.qvx"},
        {"esc\x1b[2J.qvx", "esc?[2J.qvx"},
        {"title\x1b]0;owned\x07.qvx", "title?]0;owned?.qvx"},
        {"lines\r\n, interrupted.\n.qvx", "lines??, interrupted.?.qvx"},
        {"del\x7f.qvx", "del?.qvx"},
        {"c1\xc2\x9bJ\xc2\x85.qvx", "c1?J?.qvx"},
        {"nbsp\xc2\xa0\xc2.qvx", "nbsp\xc2\xa0?.qvx"},
        {std::string(251, 'n') + ".qvx", std::string(251, 'n') + ".qvx"},  // its outputs' names as long as any
        {"\x1b[H\x1b[2J\nuqendix : ./x.qvx", "?[H?[2J?uqendix : ./x.qvx"},
        {"my dir/x y.qvx", "my dir/x y.qvx"},
    };
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    std::vector<name_case> files;
    std::vector<name_case> in_directories;
    for (const name_case& c : cases) {
        write_file(at(c.name), frame);
        (c.name.find('/') == std::string::npos ? files : in_directories).push_back(c);
    }
    const auto by_bytes = [](const name_case& a, const name_case& b) { return a.name < b.name; };
    std::sort(files.begin(), files.end(), by_bytes);
    std::sort(in_directories.begin(), in_directories.end(), by_bytes);
    files.insert(files.end(), in_directories.begin(), in_directories.end());
    std::string on_pipe;
    std::string on_terminal;
    for (const name_case& c : files) {
        on_pipe += one_frame_report("./" + c.name);
        on_terminal += one_frame_report("./" + c.on_terminal);
    }
    const program_run run = run_quendix(root, {"-r"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, on_pipe);
    const std::string csv = CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0));
    for (const name_case& c : cases) {
        const std::string stem = c.name.substr(0, c.name.size() - 4);
        EXPECT_EQ(read_file(at(c.name)), frame) << c.name;
        EXPECT_EQ(read_file(at(stem + ".csv")), csv) << c.name;
        EXPECT_EQ(read_file(at(stem + ".log")), "    start :   1,   0\r\n      end :   1,   0\r\n") << c.name;
    }

    std::string shown;
    run_setup setup;
    setup.terminal_output = true;
    const program_run terminal_run =
        run_quendix_with(root, {"-r"}, setup, [&shown](const char* bytes, size_t size) { shown.append(bytes, size); });
    EXPECT_EQ(terminal_run.exit_status, 0);
    EXPECT_EQ(shown, on_terminal);

    // A selector holding the same bytes selects exactly its file.
    const program_run quoted = run_quendix(root, {"say \"hi\".qvx"});
    EXPECT_EQ(quoted.output, one_frame_report("./say \"hi\".qvx"));
}

TEST_F(HostileFs, AConversionWithoutMemoryIsNotOpenedAndTheRunGoesOn)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than any limit here";
#endif
    if (!emulator_in_use().empty()) {
        GTEST_SKIP() << "the emulator " << emulator_in_use() << " shares the program's address space and its limit";
    }
    // While the program is held on a.qvx's long report, with the listing of
    // all files taken, its address space is limited to a little more than
    // it uses. The record of the outputs it makes then soon needs more:
    // from then on each file is "not opened", and the run ends as usual.
    std::string gaps = frame_bytes(sample_frame(1, 0, 0));
    for (int i = 0; i < 40000; ++i) {
        gaps += erased_frame_bytes();
    }
    write_file(at("a.qvx"), gaps);
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    const int files = 8000;
    std::vector<std::string> names;
    for (int i = 0; i < files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "r%05d", i);
        names.push_back(name);
        write_file(at(names.back() + ".qvx"), frame);
    }
    std::string output;
    bool limited = false;
    run_setup setup;
    setup.timeout_seconds = 120;
    const program_run run = run_quendix_with(root, {}, setup, [&](const char* bytes, size_t size) {
        if (output.empty()) {
            limited = limit_running_program_memory(256 * 1024);
        }
        output.append(bytes, size);
    });
    ASSERT_TRUE(limited) << "the program's memory could not be limited";
    EXPECT_EQ(run.exit_status, 0);
    // a.qvx's report, then each file's whole report or "not opened", to
    // the last.
    const size_t first = output.find(banner("./" + names[0] + ".qvx"));
    ASSERT_NE(first, std::string::npos);
    size_t at_text = first;
    int converted = 0;
    int not_opened_count = 0;
    for (const std::string& name : names) {
        const std::string whole = one_frame_report("./" + name + ".qvx");
        bool matched = false;
        if (output.compare(at_text, whole.size(), whole) == 0) {
            at_text += whole.size();
            ++converted;
            EXPECT_EQ(read_file(at(name + ".csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0)));
            EXPECT_EQ(read_file(at(name + ".log")), "    start :   1,   0\r\n      end :   1,   0\r\n");
            matched = true;
        }
        for (const std::string shown : {".qvx", ".csv", ".log"}) {
            const std::string refused = banner("./" + name + ".qvx") + not_opened("./" + name + shown);
            if (!matched && output.compare(at_text, refused.size(), refused) == 0) {
                at_text += refused.size();
                ++not_opened_count;
                EXPECT_FALSE(fs::exists(at(name + ".csv"))) << name;
                EXPECT_FALSE(fs::exists(at(name + ".log"))) << name;
                matched = true;
            }
        }
        ASSERT_TRUE(matched) << "at " << name << ": " << output.substr(at_text, 200);
    }
    EXPECT_EQ(at_text, output.size());
    EXPECT_GT(converted, 0);
    EXPECT_GT(not_opened_count, 0);
    EXPECT_EQ(temporary_files(root), std::vector<std::string>{});
}

TEST_F(HostileFs, AStartWithoutMemorySaysSoAndDoesNotAbort)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves far more address space than any limit here";
#endif
    if (!emulator_in_use().empty()) {
        GTEST_SKIP() << "the address-space limit would hold the emulator " << emulator_in_use() << " too";
    }
    // Address-space limits from the least with which a run converts its
    // one file down by 512 KiB, in steps of 4 KiB: each run converts the
    // file, or says in one line that it cannot start (status 2), or is
    // refused by the system's loader before the program runs (127).
    write_file(at("a.qvx"), frame_bytes(sample_frame(1, 0, 0)));
    const std::string converted = one_frame_report("./a.qvx");
    const auto run_within = [&](unsigned long long kib) {
        run_setup setup;
        setup.address_space_limit = kib * 1024;
        std::string output;
        program_run run = run_quendix_with(root, {}, setup,
                                           [&output](const char* bytes, size_t size) { output.append(bytes, size); });
        run.output = output;
        return run;
    };
    unsigned long long fails = 1024;
    unsigned long long works = 1024 * 1024;
    ASSERT_EQ(run_within(works).output, converted);
    while (works - fails > 4) {
        const unsigned long long middle = (works + fails) / 2;
        (run_within(middle).output == converted ? works : fails) = middle;
    }
    int said_so = 0;
    for (unsigned long long kib = works; kib + 512 >= works && kib > 4; kib -= 4) {
        const program_run run = run_within(kib);
        fs::remove(at("a.csv"));
        fs::remove(at("a.log"));
        if (run.exit_status == 2) {
            ++said_so;
            EXPECT_EQ(run.output, "quendix : not enough memory to start.\n") << kib << " KiB";
        } else if (run.exit_status == 0) {
            EXPECT_EQ(run.output, converted) << kib << " KiB";
        } else {
            EXPECT_EQ(run.exit_status, 127) << kib << " KiB: " << run.output;
            EXPECT_EQ(run.output, "") << kib << " KiB";
        }
        EXPECT_EQ(temporary_files(root), std::vector<std::string>{}) << kib << " KiB";
    }
    EXPECT_GT(said_so, 0);
}

TEST_F(HostileFs, FilesThePermissionsForbidAreReported)
{
    if (geteuid() == 0) {
        GTEST_SKIP() << "running as root, whom permission bits do not stop; the same messages "
                        "are tested with a directory in place of an output name";
    }
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    write_file(at("a.qvx"), frame);
    write_file(at("ro/b.qvx"), frame);
    fs::permissions(at("a.qvx"), fs::perms::none);
    fs::permissions(at("ro"), fs::perms::owner_read | fs::perms::owner_exec);
    const program_run run = run_quendix(root, {"-r"});
    fs::permissions(at("a.qvx"), fs::perms::owner_all);
    fs::permissions(at("ro"), fs::perms::owner_all);
    EXPECT_EQ(run.output, banner("./a.qvx") + not_opened("./a.qvx") + banner("./ro/b.qvx") + not_opened("./ro/b.csv"));
    EXPECT_EQ(read_file(at("a.qvx")), frame);
    EXPECT_EQ(read_file(at("ro/b.qvx")), frame);
}

}  // namespace
