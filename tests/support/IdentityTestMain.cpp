// main of the test programs that need accounts: runs the program again with the test identity in place.
#include <gtest/gtest.h>

#include "TestAccounts.h"

int main(int argc, char** argv) {
    int status = 0;
    if (kestrel_test::RunWithTestIdentity(argc, argv, kestrel_test::StandardAccounts(), &status))
        return status;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
