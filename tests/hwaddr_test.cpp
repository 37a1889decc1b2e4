// Black-box tests of hwaddr against the running kernel.
//
// Each scenario builds its interfaces in a private network namespace, runs the
// binary there and checks the one line it prints, its exit status and its
// silence on standard error.
//
//   HWADDR           the binary under test, an absolute path or a name on PATH
//                    (default: the one this tree built)
//   HWADDR_LAUNCHER  words put in front of it, e.g. "qemu-i386"
//   CI=true          a test that would be skipped fails instead
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kZeros = "00:00:00:00:00:00\n";

// veth is the plain Ethernet-like link this kernel can make without a module.
std::string veth(const std::string &addr)
{
	return "ip link add eth0 type veth peer name p0; ip link set eth0 address " + addr;
}

bool in_ci()
{
	const char *ci = std::getenv("CI");
	return ci != nullptr && std::string(ci) == "true";
}

// A skipped test in CI would let a run pass on nothing, so there it fails.
#define SKIP_OR_FAIL(why)                                                                                    \
	do {                                                                                                 \
		if (in_ci())                                                                                 \
			FAIL() << (why) << " (CI=true: not skipping)";                                       \
		GTEST_SKIP() << (why);                                                                       \
	} while (0)

std::vector<std::string> split(const std::string &s)
{
	std::istringstream in(s);
	std::vector<std::string> words;
	for (std::string w; in >> w;)
		words.push_back(w);
	return words;
}

std::vector<std::string> hwaddr_command()
{
	const char *launcher = std::getenv("HWADDR_LAUNCHER");
	const char *bin = std::getenv("HWADDR");
	std::vector<std::string> cmd = split(launcher != nullptr ? launcher : "");
	cmd.emplace_back(bin != nullptr && *bin != '\0' ? bin : HWADDR_DEFAULT);
	return cmd;
}

std::string slurp(const fs::path &p)
{
	std::ifstream in(p, std::ios::binary);
	return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool succeeds(const std::string &shell_command)
{
	return std::system((shell_command + " >/dev/null 2>&1").c_str()) == 0;
}

// "-n" as root, "-rn" (a user namespace too) otherwise; empty if neither works.
const std::string &unshare_flag()
{
	static const std::string flag = succeeds("unshare -n true")    ? "-n"
					: succeeds("unshare -rn true") ? "-rn"
								       : "";
	return flag;
}

enum class Stdout { Captured, DevFull, NoReader, Closed };

struct Result {
	int status = -1; // as from waitpid
	std::string out, err, setup_log, trace;
};

struct Invocation {
	std::string setup{};             // shell commands run in the namespace first
	std::vector<std::string> args{}; // given to hwaddr
	Stdout out = Stdout::Captured;
	bool stdin_closed = false;
	std::vector<std::string> strace{}; // non-empty: run under strace with these options
};

// Runs hwaddr in a new network namespace after the setup, with stdin from
// /dev/null, stdout as asked and stderr captured.
Result run(const Invocation &inv)
{
	char tmpl[] = "/tmp/hwaddr-test.XXXXXX";
	const fs::path dir = mkdtemp(tmpl);
	const fs::path out = dir / "out";
	const fs::path err = dir / "err";
	const fs::path log = dir / "setup";
	const fs::path trace = dir / "trace";

	std::string script =
		"log=$1; shift; (set -e; " + inv.setup + ") >\"$log\" 2>&1 || exit 125; exec \"$@\"";
	if (inv.stdin_closed)
		script += " 0<&-";
	if (inv.out == Stdout::Closed)
		script += " 1>&-";
	std::vector<std::string> argv = {"unshare", unshare_flag(), "sh", "-c", script, "sh", log};
	if (!inv.strace.empty()) {
		argv.insert(argv.end(), {"strace", "-f", "-qq", "-o", trace});
		argv.insert(argv.end(), inv.strace.begin(), inv.strace.end());
		argv.emplace_back("--");
	}
	const std::vector<std::string> hwaddr = hwaddr_command();
	argv.insert(argv.end(), hwaddr.begin(), hwaddr.end());
	argv.insert(argv.end(), inv.args.begin(), inv.args.end());
	std::vector<char *> cargv(argv.size() + 1, nullptr);
	std::transform(argv.begin(), argv.end(), cargv.begin(), [](std::string &a) { return a.data(); });

	int out_fd = -1;
	switch (inv.out) {
	case Stdout::Captured:
	case Stdout::Closed: // by the shell, just before hwaddr starts
		out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		break;
	case Stdout::DevFull:
		out_fd = open("/dev/full", O_WRONLY);
		break;
	case Stdout::NoReader: {
		int p[2];
		if (pipe(p) == 0) {
			close(p[0]);
			out_fd = p[1];
		}
		break;
	}
	}
	const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
	const int null_fd = open("/dev/null", O_RDONLY);

	Result r;
	const pid_t pid = (out_fd < 0 || err_fd < 0 || null_fd < 0) ? -1 : fork();
	if (pid == 0) {
		dup2(null_fd, 0);
		dup2(out_fd, 1);
		dup2(err_fd, 2);
		// The default action, as a user's shell gives it, whatever ours is.
		(void)signal(SIGPIPE, SIG_DFL);
		execvp(cargv[0], cargv.data());
		_exit(127);
	}
	if (pid > 0)
		waitpid(pid, &r.status, 0);
	for (int fd : {out_fd, err_fd, null_fd})
		if (fd >= 0)
			close(fd);

	r.out = slurp(out);
	r.err = slurp(err);
	r.setup_log = slurp(log);
	r.trace = slurp(trace);
	fs::remove_all(dir);
	return r;
}

// What every run must show: a normal exit with status 0 and a silent stderr.
void expect_contract(const Result &r)
{
	ASSERT_NE(r.status, -1) << "could not start the run";
	ASSERT_TRUE(!WIFEXITED(r.status) || WEXITSTATUS(r.status) != 125) << "setup failed:\n" << r.setup_log;
	EXPECT_TRUE(WIFEXITED(r.status)) << "killed by signal " << WTERMSIG(r.status);
	EXPECT_EQ(WEXITSTATUS(r.status), 0);
	EXPECT_EQ(r.err, "");
}

void expect_line(const Result &r, const std::string &line)
{
	expect_contract(r);
	EXPECT_EQ(r.out, line);
	EXPECT_EQ(r.out.size(), 18U);
}

class Namespaced : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (unshare_flag().empty())
			SKIP_OR_FAIL("no network namespace: neither 'unshare -n' nor 'unshare -rn' works");
	}
};

class Traced : public Namespaced {
protected:
	void SetUp() override
	{
		Namespaced::SetUp();
		if (!IsSkipped() && !HasFatalFailure() && !succeeds("strace -o /dev/null true"))
			SKIP_OR_FAIL("strace is missing or cannot trace here");
	}
};

// Names the cases of a table by their first field.
const auto by_name = [](const auto &info) { return std::string(info.param.name); };

// ---- The interface set up, the line expected ----

struct Scenario {
	const char *name;
	std::string setup;
	std::string line;
};

const Scenario kScenarios[] = {
	{"Letters", veth("a0:b1:c2:d3:e4:f5"), "A0:B1:C2:D3:E4:F5\n"},
	{"HighBytes", veth("80:90:a0:b0:c0:d0"), "80:90:A0:B0:C0:D0\n"},
	{"AllBitsButMulticast", veth("fe:ff:ff:ff:ff:ff"), "FE:FF:FF:FF:FF:FF\n"},
	{"LeadingZeros", veth("02:00:00:00:00:01"), "02:00:00:00:00:01\n"},
	{"Bridge", "ip link add eth0 type bridge; ip link set eth0 address 0e:1d:2c:3b:4a:59",
	 "0E:1D:2C:3B:4A:59\n"},
	{"EthZeroUp", veth("5a:5a:5a:5a:5a:5a") + "; ip link set eth0 up", "5A:5A:5A:5A:5A:5A\n"},
	{"NoInterfacesButLo", "", kZeros},
	{"OnlyEth1", "ip link add eth1 type veth peer name p1; ip link set eth1 address 0a:0b:0c:0d:0e:0f",
	 kZeros},
	{"NameCaseDiffers",
	 "ip link add ETH0 type veth peer name p0; ip link set ETH0 address 0a:0b:0c:0d:0e:0f", kZeros},
	{"LoopbackRenamed", "ip link set lo name eth0", kZeros},
	{"TunHasNoAddress", "ip tuntap add eth0 mode tun", kZeros},
};

class Interfaces : public Namespaced, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Interfaces, PrintsTheLine)
{
	const Scenario &s = GetParam();
	if (s.setup.find("tuntap") != std::string::npos && access("/dev/net/tun", R_OK | W_OK) != 0)
		SKIP_OR_FAIL("a tun device needs read and write access to /dev/net/tun");
	expect_line(run({s.setup}), s.line);
}

INSTANTIATE_TEST_SUITE_P(Hwaddr, Interfaces, ::testing::ValuesIn(kScenarios), by_name);

// A descriptor of 0 is a good socket, not a failure.
TEST_F(Namespaced, SocketOnDescriptorZero)
{
	Invocation inv{veth("a0:00:00:00:00:0a")};
	inv.stdin_closed = true;
	expect_line(run(inv), "A0:00:00:00:00:0A\n");
}

// ---- Arguments are never read ----

struct Argv {
	const char *name;
	std::vector<std::string> args;
};

const Argv kArgvs[] = {
	{"Help", {"-h"}},
	{"LongHelp", {"--help"}},
	{"Version", {"--version"}},
	{"OtherInterface", {"eth1"}},
	{"Empty", {""}},
	{"FormatAndSpaces", {"%s%n%x", "-", "a b", "lo"}},
};

class Arguments : public Namespaced, public ::testing::WithParamInterface<Argv> {};

TEST_P(Arguments, ChangeNothing)
{
	Invocation inv{veth("c0:ff:ee:00:be:ef")};
	inv.args = GetParam().args;
	expect_line(run(inv), "C0:FF:EE:00:BE:EF\n");
}

INSTANTIATE_TEST_SUITE_P(Hwaddr, Arguments, ::testing::ValuesIn(kArgvs), by_name);

// ---- Standard output that cannot be written ----

struct Sink {
	const char *name;
	Stdout out;
	std::string setup;
};

const Sink kSinks[] = {
	{"DevFullAddress", Stdout::DevFull, veth("a0:b1:c2:d3:e4:f5")},
	{"DevFullZeros", Stdout::DevFull, ""},
	{"NoReaderAddress", Stdout::NoReader, veth("a0:b1:c2:d3:e4:f5")},
	{"NoReaderZeros", Stdout::NoReader, ""},
	// With standard output closed, the socket is given descriptor 1.
	{"ClosedAddress", Stdout::Closed, veth("a0:b1:c2:d3:e4:f5")},
	{"ClosedZeros", Stdout::Closed, ""},
};

class FailedWrites : public Namespaced, public ::testing::WithParamInterface<Sink> {};

TEST_P(FailedWrites, StillExitZeroAndSilent)
{
	Invocation inv{GetParam().setup};
	inv.out = GetParam().out;
	const Result r = run(inv);
	expect_contract(r);
	EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Hwaddr, FailedWrites, ::testing::ValuesIn(kSinks), by_name);

// ---- System calls, seen through strace ----

TEST_F(Traced, NoSocketAvailable)
{
	Invocation inv{veth("a0:b1:c2:d3:e4:f5")};
	inv.strace = {"-e", "trace=socket", "-e", "inject=socket:error=EMFILE"};
	expect_line(run(inv), kZeros);
}

// Where the socket is closed relative to the first byte of output.
class TracedClose : public Traced, public ::testing::WithParamInterface<Scenario> {};

TEST_P(TracedClose, BeforeAnyOutput)
{
	Invocation inv{GetParam().setup};
	inv.strace = {"-e", "trace=socket,ioctl,close,write,writev"};
	const Result r = run(inv);
	expect_line(r, GetParam().line);

	// Lines look like "1234 socket(AF_INET, SOCK_DGRAM, IPPROTO_IP) = 3".
	const std::regex opened(R"(socket\(AF_INET, SOCK_DGRAM, IPPROTO_IP\) = (\d+))");
	std::smatch m;
	ASSERT_TRUE(std::regex_search(r.trace, m, opened)) << r.trace;
	const std::string fd = m[1];
	const std::string after_socket = m.suffix();

	const size_t request = after_socket.find("ioctl(" + fd + ", SIOCGIFHWADDR");
	const size_t closed = after_socket.find("close(" + fd + ")");
	const size_t written = after_socket.find("write(1,");
	const size_t writtenv = after_socket.find("writev(1,");
	ASSERT_NE(request, std::string::npos) << r.trace;
	ASSERT_NE(closed, std::string::npos) << r.trace;
	EXPECT_LT(request, closed) << r.trace;
	EXPECT_LT(closed, std::min(written, writtenv)) << r.trace;
	EXPECT_NE(std::min(written, writtenv), std::string::npos) << r.trace;
}

INSTANTIATE_TEST_SUITE_P(Hwaddr, TracedClose,
			 ::testing::Values(Scenario{"RequestSucceeds", veth("a0:b1:c2:d3:e4:f5"),
						    "A0:B1:C2:D3:E4:F5\n"},
					   Scenario{"RequestFails", "", kZeros}),
			 by_name);

// ---- This machine, as ip sees it ----

TEST(Host, AgreesWithIp)
{
	std::string line = kZeros;
	if (FILE *ip = popen("ip -br link show eth0 2>/dev/null", "r")) {
		char name[64];
		char state[64];
		char addr[64];
		if (fscanf(ip, "%63s %63s %63s", name, state, addr) == 3 &&
		    std::regex_match(addr, std::regex("([0-9a-f]{2}:){5}[0-9a-f]{2}"))) {
			line = addr;
			for (char &c : line)
				c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
			line += "\n";
		}
		pclose(ip);
	}

	const std::vector<std::string> cmd = hwaddr_command();
	std::string shell;
	for (const std::string &w : cmd)
		shell += "'" + w + "' ";
	std::string out;
	FILE *p = popen((shell + "2>&1").c_str(), "r");
	ASSERT_NE(p, nullptr);
	for (int c; (c = fgetc(p)) != EOF;)
		out += static_cast<char>(c);
	const int status = pclose(p);
	EXPECT_EQ(out, line);
	EXPECT_EQ(status, 0);
}

} // namespace
