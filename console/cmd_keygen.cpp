// upg keygen: makes the publisher's signing key and the public key installations pin.
#include <stdio.h>
#include <string.h>
#include <string>
#include "commands.h"
#include "files.h"
#include "keyfile.h"
#include "options.h"
#include "stream.h"

namespace {

const char kHelp[] = "Usage: upg keygen NAME\n"
                     "\n"
                     "Makes an ECDSA P-256 key pair for signing packages: NAME.key, the private key (PKCS#8\n"
                     "PEM, readable by its owner only; keep it secret and backed up), and NAME.pem, the public\n"
                     "key. Sign with 'upg build ... --sign NAME.key'. Have the product's installer place\n"
                     "NAME.pem in the installation folder as upgtrust.pem: from then on only packages signed\n"
                     "with NAME.key are applied there. Existing files are never replaced.\n"
                     "Exit codes: 0 done, 1 the keys could not be made or written, 2 a usage error.\n";

int WriteText(const std::string& path, const char* text, size_t n, unsigned extra)
{
    FileStream out(WriteAccess | extra, path.c_str());
    if (out.HasError()) return 0;
    out.Write(text, (uint32_t)n);
    out.Close();
    return !out.HasError();
}

}   // namespace

int CmdKeygen(int argc, char** argv)
{
    std::vector<std::string> operands;
    CommandLine line{"keygen", kHelp, {}, 1};
    int read = ReadCommandLine(line, argc, argv, &operands);
    if (read != kRunCommand) return read;
    const char* name = operands.empty() ? nullptr : operands[0].c_str();
    if (!name) return UsageError("keygen", "name the key files to write.");
    std::string privatePath = std::string(name) + ".key", publicPath = std::string(name) + ".pem";
    for (const std::string& p : {privatePath, publicPath})
        if (FileExists(p.c_str())) {
            fprintf(stderr, "upg keygen: %s exists already; it is never replaced.\n", p.c_str());
            return ExitNotApplied;
        }
    PublisherKey key;
    memset(&key, 0, sizeof key);
    if (!GenerateKeyPair(key.privateKey, key.publicKey)) {
        fprintf(stderr, "upg keygen: this system cannot make ECDSA P-256 keys.\n");
        return ExitNotApplied;
    }
    key.hasPrivate = 1;
    char text[1024];
    size_t n = PrivateKeyPem(&key, text, sizeof text);
    int ok = n && WriteText(privatePath, text, n, OwnerOnly);
    memset(text, 0, sizeof text);
    memset(&key.privateKey, 0, sizeof key.privateKey);
    if (!ok) {
        RemoveFile(privatePath.c_str());
        fprintf(stderr, "upg keygen: cannot write %s.\n", privatePath.c_str());
        return ExitNotApplied;
    }
    n = PublicKeyPem(&key, text, sizeof text);
    if (!n || !WriteText(publicPath, text, n, 0)) {
        RemoveFile(publicPath.c_str());
        fprintf(stderr, "upg keygen: cannot write %s (the private key is in %s).\n", publicPath.c_str(),
                privatePath.c_str());
        return ExitNotApplied;
    }
    uint8_t id[kKeyIdSize];
    char idText[2 * kKeyIdSize + 1] = "";
    if (KeyIdOf(key.publicKey, id)) KeyIdText(id, idText);
    printf("%s: private key (keep it secret)\n%s: public key, id %s (install it as %s)\n", privatePath.c_str(),
           publicPath.c_str(), idText, kTrustFileName);
    return ExitDone;
}
