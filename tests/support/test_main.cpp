// Test entry: every test process gets its own configuration home before the
// library caches any path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
    char tmpl[] = "/tmp/j2534vk-test-XXXXXX";
    if (!mkdtemp(tmpl)) return 2;
    setenv("XDG_CONFIG_HOME", tmpl, 1);
    testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    if (!getenv("J2534VK_KEEP_TMP")) {
        std::string cmd = std::string("rm -rf '") + tmpl + "'";
        if (system(cmd.c_str()) != 0) rc = rc ? rc : 0;
    }
    return rc;
}
