// The user's information file as logins see it: the server keeps its values
// between logins, and must still see every change made to the file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/SmtpTestFixture.h"

namespace {

class UserRecord : public smtptest::SmtpFixture {};

// A password changed in place with the same length, and the file's old times
// put back afterwards (cp -p, touch -r): same inode, size and modification
// time. The new password logs in, the old one no longer does.
TEST_F(UserRecord, PasswordChangedInPlaceWithTheOldTimesPutBackIsSeen) {
    startServer();
    const std::string file = si().MailBoxPath + "alice/alice.ini";
    // Changed long ago, so that a login may take the record from memory.
    const timespec old[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), old, 0), 0);

    const std::string login = home.path() + "login.py";
    testsupport::writeFile(login, R"PY(
import smtplib, sys
for password in sys.argv[2:]:
    s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=30)
    s.ehlo('client.test')
    try:
        s.login('alice', password, initial_response_ok=False)
        print(password, 'accepted')
    except smtplib.SMTPAuthenticationError as e:
        print(password, 'refused', e.smtp_code)
    s.close()
)PY");
    const auto logins = [&](const std::vector<std::string>& passwords) {
        std::vector<std::string> argv = {testsupport::python(), login, std::to_string(port())};
        argv.insert(argv.end(), passwords.begin(), passwords.end());
        testsupport::Child child(argv);
        EXPECT_TRUE(child.wait()) << child.output();
        return child.output();
    };
    EXPECT_EQ(logins({"secret", "secret"}), "secret accepted\nsecret accepted\n");

    std::string text = testsupport::readFile(file);
    text.replace(text.find("Password=secret"), 15, "Password=s3cr3t");
    const int fd = ::open(file.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    ::close(fd);
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), old, 0), 0);

    EXPECT_EQ(logins({"s3cr3t", "secret"}), "s3cr3t accepted\nsecret refused 535\n");
}

}  // namespace
