// Log slots: the paths each slot names, the steps LEFT and RIGHT make, the home folder when
// HOME is missing, empty or too long, and which files count as an existing log.
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "slots.h"
#include "support.h"

namespace {

using Slots = Voltrace;

TEST_F(Slots, StepsBetweenSlotsRebuildBothPathsAndStopAtZero)
{
    EXPECT_EQ(std::string(csvPath), home + "/battery0.csv");
    EXPECT_EQ(std::string(pngPath), home + "/battery0.png");
    EXPECT_EQ(selectSlot(-1), 0);
    EXPECT_EQ(slotIndex, 0);
    EXPECT_EQ(std::string(csvPath), home + "/battery0.csv");
    EXPECT_EQ(selectSlot(1), 1);
    EXPECT_EQ(std::string(csvPath), home + "/battery1.csv");
    EXPECT_EQ(std::string(pngPath), home + "/battery1.png");
    EXPECT_EQ(selectSlot(-1), 1);
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(selectSlot(1), 1);
    EXPECT_EQ(std::string(csvPath), home + "/battery12.csv");
    EXPECT_EQ(slotProblem, nullptr);

    // HOME is read anew at every step.
    setenv("HOME", "/elsewhere", 1);
    EXPECT_EQ(selectSlot(0), 1);
    EXPECT_STREQ(csvPath, "/elsewhere/battery12.csv");
}

TEST_F(Slots, TheLastSlotNumberAnIntHoldsIsTheEnd)
{
    slotIndex = INT_MAX - 1;
    EXPECT_EQ(selectSlot(1), 1);
    EXPECT_EQ(std::string(csvPath), home + "/battery2147483647.csv");
    EXPECT_EQ(selectSlot(1), 0);
    EXPECT_EQ(slotIndex, INT_MAX);
    EXPECT_EQ(std::string(pngPath), home + "/battery2147483647.png");
}

// Without HOME (or with an empty one) the logs go to the user's home from the password
// database, where a login shell's HOME would have pointed.
TEST_F(Slots, AMissingOrEmptyHomeFallsBackToTheUsersHomeFolder)
{
    const struct passwd *user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    std::string expected = std::string(user->pw_dir) + "/battery0.csv";
    unsetenv("HOME");
    EXPECT_EQ(selectSlot(0), 1);
    EXPECT_EQ(std::string(csvPath), expected);
    EXPECT_EQ(slotProblem, nullptr);
    setenv("HOME", "", 1);
    EXPECT_EQ(selectSlot(0), 1);
    EXPECT_EQ(std::string(csvPath), expected);
}

// A path that does not fit its 4096-byte array is refused whole, never cut to a shorter
// name; slot numbers with more digits cross the limit one step later than shorter ones.
TEST_F(Slots, AHomeTooLongForThePathsLeavesThemEmptyAndSaysWhy)
{
    const std::string tail = "/battery9.csv";  // the same length for the PNG
    std::string fits(4095 - tail.size(), 'h');
    fits[0] = '/';
    setenv("HOME", fits.c_str(), 1);
    slotIndex = 9;
    EXPECT_EQ(selectSlot(0), 1);
    EXPECT_EQ(slotProblem, nullptr);
    EXPECT_EQ(strlen(csvPath), 4095u);
    EXPECT_EQ(strlen(pngPath), 4095u);

    EXPECT_EQ(selectSlot(1), 1);  // battery10.csv: one byte too many
    EXPECT_STREQ(csvPath, "");
    EXPECT_STREQ(pngPath, "");
    ASSERT_NE(slotProblem, nullptr);
    EXPECT_STREQ(slotProblem, "HOME is too long for a log path");

    EXPECT_EQ(selectSlot(-1), 1);
    EXPECT_EQ(slotProblem, nullptr);
    EXPECT_EQ(std::string(csvPath), fits + tail);

    setenv("HOME", std::string(10000, 'h').c_str(), 1);
    EXPECT_EQ(selectSlot(0), 1);
    EXPECT_STREQ(csvPath, "");
    EXPECT_NE(slotProblem, nullptr);
}

TEST_F(Slots, OnlyAnExistingRegularFileCountsAsALog)
{
    std::string file = home + "/battery0.csv";
    writeText(file, "");
    ASSERT_EQ(mkdir((home + "/battery1.csv").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((home + "/fifo").c_str(), 0644), 0);
    // A socket's file type shares its top bit with a regular file's.
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s/battery2.csv", home.c_str());
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(symlink(file.c_str(), (home + "/link").c_str()), 0);

    EXPECT_EQ(isRegularFile(file.c_str()), 1) << "an empty file is a log";
    EXPECT_EQ(isRegularFile((home + "/link").c_str()), 1) << "a link to one too";
    EXPECT_EQ(isRegularFile((home + "/battery1.csv").c_str()), 0) << "a folder";
    EXPECT_EQ(isRegularFile((home + "/fifo").c_str()), 0);
    EXPECT_EQ(isRegularFile(address.sun_path), 0) << "a socket";
    close(sock);
    EXPECT_EQ(isRegularFile((home + "/missing.csv").c_str()), 0);
    EXPECT_EQ(isRegularFile((file + "/below-a-file").c_str()), 0);
    EXPECT_EQ(isRegularFile(""), 0);
    EXPECT_EQ(isRegularFile((home + "/" + std::string(5000, 'x')).c_str()), 0);
}

}  // namespace
