// quendix_refuse_io_uring: runs a program with io_uring refused, as the
// default seccomp profiles of container runtimes refuse it: every io_uring
// call fails with ENOSYS. bench/run.sh times quendix under it beside the
// plain run, to show that the converter's speed does not depend on it.
//
//   quendix_refuse_io_uring <program> [<argument>...]
//
// The filter is installed in this process and kept across the exec, by
// every thread and child of the program. Exits with status 1, before
// running anything, when the filter cannot be installed or does not work.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: quendix_refuse_io_uring <program> [<argument>...]\n");
        return 2;
    }
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_enter, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_register, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
    };
    const sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::fprintf(stderr, "quendix_refuse_io_uring: no seccomp filter: %s\n", std::strerror(errno));
        return 1;
    }
    if (syscall(__NR_io_uring_setup, 1, nullptr) != -1 || errno != ENOSYS) {
        std::fprintf(stderr, "quendix_refuse_io_uring: io_uring_setup is not refused\n");
        return 1;
    }
    execv(argv[1], argv + 1);
    std::fprintf(stderr, "quendix_refuse_io_uring: cannot run %s: %s\n", argv[1], std::strerror(errno));
    return 1;
}
