// Refusing system calls to a test program, as a hardened systemd unit does
// (RestrictAddressFamilies=, a seccomp filter), or as a machine out of
// descriptors would for some of them: so that a test can show the library
// still does its job without them. Each call adds a seccomp filter to the
// calling process for good; use it in a program of its own. (Not a limit
// on descriptors: the sanitizers' runtime needs a pipe for some checks.)
#pragma once

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <vector>

namespace sandbox {

#if defined(__x86_64__)
inline constexpr unsigned native_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
inline constexpr unsigned native_arch = AUDIT_ARCH_AARCH64;
#else
inline constexpr unsigned native_arch = 0;  // unknown: no filter is installed
#endif

inline bool install(std::vector<sock_filter> program) {
    if (native_arch == 0) return false;
    sock_fprog prog{static_cast<unsigned short>(program.size()), program.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// The filter's head: another architecture's calls pass untouched.
inline std::vector<sock_filter> head() {
    return {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, native_arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
}

// Every listed system call fails with `error`.
inline bool refuse_calls(const std::vector<long>& calls, int error) {
    auto program = head();
    const auto n = static_cast<unsigned char>(calls.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const auto to_refusal = static_cast<unsigned char>(n - i);
        program.push_back(
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(calls[i]), to_refusal, 0));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)));
    return install(std::move(program));
}

// The system call fails with `error` when its argument `arg` is `value`
// (its low 32 bits), and works otherwise.
inline bool refuse_call_with(long call, unsigned arg, unsigned value, int error) {
    auto program = head();
    program.insert(program.end(),
                   {
                       BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(call), 0, 3),
                       BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                                static_cast<unsigned>(offsetof(seccomp_data, args) + 8 * arg)),
                       BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, 1),
                       BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)),
                       BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                   });
    return install(std::move(program));
}

// socket(family, ...) fails with EAFNOSUPPORT, as under RestrictAddressFamilies=.
inline bool refuse_socket_family(int family) {
    return refuse_call_with(SYS_socket, 0, static_cast<unsigned>(family), EAFNOSUPPORT);
}

}  // namespace sandbox
