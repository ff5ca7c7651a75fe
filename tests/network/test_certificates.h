// Certificates for the TLS and certificate-folder tests, made by the openssl program with EC keys
// (quick to generate) in a work folder, then installed as the server expects them: one PEM file
// with the certificate, its chain and its private key, mode 0600.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run_program.h"

inline std::string ReadWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class CTestCertificates
{
public:
    explicit CTestCertificates(std::string workFolder) : m_work(std::move(workFolder)) {}

    std::string CertificatePath(const std::string& name) const { return m_work + "/" + name + ".crt"; }
    std::string KeyPath(const std::string& name) const { return m_work + "/" + name + ".key"; }

    // A self-signed certificate; `serial` as openssl takes it ("0x0A1B2C"). False when openssl failed.
    bool MakeSelfSigned(const std::string& name, const std::string& subject, const std::string& serial)
    {
        return RunProgram({"openssl",
                           "req",
                           "-x509",
                           "-newkey",
                           "ec",
                           "-pkeyopt",
                           "ec_paramgen_curve:prime256v1",
                           "-nodes",
                           "-keyout",
                           KeyPath(name),
                           "-out",
                           CertificatePath(name),
                           "-days",
                           "30",
                           "-subj",
                           subject,
                           "-set_serial",
                           serial,
                           "-addext",
                           "subjectAltName=DNS:localhost,IP:127.0.0.1"},
                          m_work + "/openssl.out") == 0;
    }

    // A server certificate signed by the earlier certificate `issuer`.
    bool MakeSigned(const std::string& name, const std::string& subject, const std::string& serial,
                    const std::string& issuer)
    {
        const std::string request = m_work + "/" + name + ".csr";
        return RunProgram({"openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                           "-nodes", "-keyout", KeyPath(name), "-out", request, "-subj", subject, "-addext",
                           "subjectAltName=DNS:localhost,IP:127.0.0.1"},
                          m_work + "/openssl.out") == 0 &&
               RunProgram({"openssl", "x509", "-req", "-in", request, "-CA", CertificatePath(issuer), "-CAkey",
                           KeyPath(issuer), "-set_serial", serial, "-days", "30", "-copy_extensions", "copy", "-out",
                           CertificatePath(name)},
                          m_work + "/openssl.out") == 0;
    }

    // Writes the certificate `name`, then the certificates of `chain`, then (unless left out) its
    // key into `path`.
    bool Install(const std::string& name, const std::string& path, const std::vector<std::string>& chain = {},
                 bool withKey = true) const
    {
        std::string pem = ReadWholeFile(CertificatePath(name));
        for (const std::string& link : chain)
            pem += ReadWholeFile(CertificatePath(link));
        if (withKey)
            pem += ReadWholeFile(KeyPath(name));
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << pem;
        file.close();
        return file && chmod(path.c_str(), 0600) == 0;
    }

private:
    std::string m_work;
};
