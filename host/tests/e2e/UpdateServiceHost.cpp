// The host binary with its update checker asking a local service:
// QH_TEST_UPDATE_URL, trusting the certificate in QH_TEST_UPDATE_CA (PEM).

#include "app/HttpsClient.h"
#include "app/UpdateChecker.h"
#include "common/Version.h"
#include "main/linux/LinuxHost.h"

#include <cstdlib>

int main() {
    using namespace quillane::host;
    const char* url = std::getenv("QH_TEST_UPDATE_URL");
    const char* ca = std::getenv("QH_TEST_UPDATE_CA");
    if (!url || !ca) return runLinuxHost();
    return runLinuxHost([url, ca] {
        auto checker = std::make_unique<UpdateChecker>(createHttpsClient({ca}));
        checker->setCurrentVersion(kHostVersion);
        checker->setUpdateUrl(url);
        return checker;
    });
}
