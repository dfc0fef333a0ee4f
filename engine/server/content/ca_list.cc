// The content service's root certificate (its key is not kept here).
#include "server/content/content_helper_ssl.h"

namespace {
const char kServiceRoot[] =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIDXTCCAkWgAwIBAgIUUNEYtS6AsBIM5YU24dxYwg5RHEowDQYJKoZIhvcNAQEL\n"
    "BQAwNjERMA8GA1UECgwITWFydmlzdG8xITAfBgNVBAMMGE1hcnZpc3RvIENvbnRl\n"
    "bnQgUm9vdCBDQTAeFw0yNjEyMDcwMTQ2NDZaFw00NjEyMDIwMTQ2NDZaMDYxETAP\n"
    "BgNVBAoMCE1hcnZpc3RvMSEwHwYDVQQDDBhNYXJ2aXN0byBDb250ZW50IFJvb3Qg\n"
    "Q0EwggEiMA0GCSqGSIb3DQEBAQUAA4IBDwAwggEKAoIBAQDX7FHkinJ7xFKqjese\n"
    "Jhs8KrTUkjiCf2986sCcIfcBlGPU/x1HYbg920gMk6Zh97oxnTmxTynTGYNetKXe\n"
    "G5DuXN9XPB3Kf5vxiJaH2Lc6mcAxq/zOt0JDMF13rC3z/91kY/2Jks6rT6++sIui\n"
    "G592mhV2JagV2a7g7RdZ1ye3LEjHh1XvsXiVwOoFlihepayEC2H7P7QpCKV6cEJg\n"
    "y3BnwG61nnUKf6wbSvb63/WWqCZLbjnooEkd/3w8zqF+6s7gJwOTbMQ2lslLxw7H\n"
    "QJXh/Vy6uOhZcw+tdUJwsfQR2yxgnbQWEoPN7mBBZzusw55VMblNh7H5ugRfxKtp\n"
    "roE5AgMBAAGjYzBhMB0GA1UdDgQWBBQJswzSzwCA6ZdTJigkM2PExUsr9zAfBgNV\n"
    "HSMEGDAWgBQJswzSzwCA6ZdTJigkM2PExUsr9zAPBgNVHRMBAf8EBTADAQH/MA4G\n"
    "A1UdDwEB/wQEAwIBBjANBgkqhkiG9w0BAQsFAAOCAQEAPS75pX9ZuB6N59xiDkSv\n"
    "KEmhufCagL2Cqb899K7RYZe9h0O30wBeQFCugm6ALUkcd1UxJsXNl6+MfFNYLBCs\n"
    "cie24qr9skbjNGSqrCMCuDsf631gzRhk0ogbQigz+1WjWELdjv94Qf2q1xIjBf6S\n"
    "T3bAv4aISfDeGMnLlUsJr3sIcXhmhAJ54yF5WyEWpMzplfGVuwavWy/t5Hiupr11\n"
    "UFpxjo6InwD4Ep4WRny3HeGZSnvOUMcf3Cb6Orb2N81dALCaRunvJ8JMGIgymPQ2\n"
    "M/PxADOvxJKaXbcrLWbDOsCogt8OyHTFoEVo7sUkok54Lai/AZpolhqXW53TzDBo\n"
    "zA==\n"
    "-----END CERTIFICATE-----\n"
    ;
}  // namespace

const char* MARVISTO_CA_LIST = kServiceRoot;
const char* const kMarvistoServiceName = "content.marvisto.net";
