// Runs the built dh_selftest program and checks what it prints, where, and its exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

std::string read_all(std::FILE *file)
{
    std::string text;
    std::rewind(file);
    char chunk[4096];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, n);
    return text;
}

Outcome run_selftest()
{
    Outcome outcome;
    std::FILE *out = std::tmpfile();
    std::FILE *err = std::tmpfile();
    if (out == nullptr || err == nullptr) {
        ADD_FAILURE() << "no temporary file";
        return outcome;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), STDOUT_FILENO);
        dup2(fileno(err), STDERR_FILENO);
        execl(DH_SELFTEST_PATH, "dh_selftest", static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        outcome.status = WEXITSTATUS(status);
    }
    outcome.out = read_all(out);
    outcome.err = read_all(err);
    std::fclose(out);
    std::fclose(err);
    return outcome;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Decodes a key line of "%2x" groups, and checks each group is exactly what "%2x" prints.
std::vector<int> decode_key_line(const std::string &line)
{
    std::vector<int> octets;
    EXPECT_EQ(line.size() % 2, 0u) << line;
    for (size_t i = 0; i + 1 < line.size(); i += 2) {
        const std::string group = line.substr(i, 2);
        const int value = static_cast<int>(std::strtol(group.c_str(), nullptr, 16));
        char again[3];
        std::snprintf(again, sizeof again, "%2x", static_cast<unsigned>(value));
        EXPECT_EQ(group, again) << "at " << i;
        octets.push_back(value);
    }
    return octets;
}

TEST(DhSelftest, ReportsIdenticalKeysOnTheRightStreams)
{
    const Outcome run = run_selftest();
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.err, "Client DH Parameters:\n\n");
    ASSERT_FALSE(run.out.empty());
    EXPECT_EQ(run.out.back(), '\n');

    const std::vector<std::string> lines = lines_of(run.out);
    ASSERT_GE(lines.size(), 8u);
    // Client parameters, then the server's under their title and a blank line, then the keys.
    size_t server_title = 0;
    int parameter_blocks = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == "Server DH Parameters:")
            server_title = i;
        if (lines[i].find("DH Parameters: (2048 bit)") != std::string::npos) {
            ++parameter_blocks;
            EXPECT_EQ(i == 0 || i == server_title + 1, true) << "block at line " << i;
        }
    }
    EXPECT_GT(server_title, 0u);
    EXPECT_EQ(parameter_blocks, 2);

    const size_t n = lines.size();
    int len = 0;
    ASSERT_EQ(std::sscanf(lines[n - 1].c_str(),
                          "Success: Identical keys generated, key length = %d!", &len),
              1)
        << lines[n - 1];
    ASSERT_GT(len, 0);
    ASSERT_LE(len, 256);
    const std::string len_text = "(len = " + std::to_string(len) + "):";
    EXPECT_EQ(lines[n - 6], "");
    EXPECT_EQ(lines[n - 5], "Client Key Generated " + len_text);
    EXPECT_EQ(lines[n - 3], "Server Key Generated " + len_text);
    EXPECT_EQ(lines[n - 4], lines[n - 2]);
    EXPECT_EQ(decode_key_line(lines[n - 4]).size(), static_cast<size_t>(len));
}

}  // namespace
