// The Ostrel's security commands: switching the manager link's security, the key pair with its
// certificate request, and the installation of the certificate issued for it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mos/mos_trace.h"
#include "mos/mos_utils.h"
#include "mos/usr/security/mos_security_conf.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_cmd_ident_rec.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_ostrel.h"

namespace {

// A request is about a kilobyte; anything near this is not one.
constexpr long kMaxCsrLen = 64 * 1024;

// The answer: the head and the file's text. MOS_RC__ERROR when the file cannot be read whole.
Mos_RC contCmd_ReadCsr(const CHAR_A *pPath, std::vector<UINT8> *pAnswer)
{
    FILE *pFile = fopen(pPath, "r");
    if (pFile == nullptr)
        return MOS_RC__ERROR;
    long len = -1;
    if (fseek(pFile, 0, SEEK_END) == 0)
        len = ftell(pFile);
    Mos_RC rc = MOS_RC__ERROR;
    if (len >= 0 && len <= kMaxCsrLen && fseek(pFile, 0, SEEK_SET) == 0) {
        const OstrelTgtRsp_GenerateCsr head{(UINT32)len};
        pAnswer->resize(sizeof(head) + (size_t)len);
        memcpy(pAnswer->data(), &head, sizeof(head));
        if (fread(pAnswer->data() + sizeof(head), 1, (size_t)len, pFile) == (size_t)len)
            rc = MOS_RC__SUCCESS;
    }
    fclose(pFile);
    return rc;
}

} // namespace

Mos_RC contCmd_ConfigSecurityCmd(ContCmdCtx *pCtx)
{
    const auto rec = contCmd_RecAt<OstrelTgtReq_ConfigSecurity>(pCtx, 0);
    ContOstrel *pOstrel = &pCtx->pCont->ostrel;
    switch (rec.securityMode) {
    case TGT_SECURITY__NONE:
        contOstrel_DisableSecurity(pOstrel);
        return MOS_RC__SUCCESS;
    case TGT_SECURITY__OSTREL_TGT_AUTHENTICATION:
        return contOstrel_EnableSecurity(pOstrel, rec.bUseExistingCertificate != 0);
    default:
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Unknown security mode %u", rec.securityMode);
        return MOS_RC__INVALID;
    }
}

Mos_RC contCmd_GenerateCsrCmd(ContCmdCtx *pCtx)
{
    CHAR_A path[MOS_SECURITY__FILE_NAME_LEN];
    if (!contOstrel_SecFilePath(CONT_OSTREL__CSR_FILE, path, sizeof(path))) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "The configuration directory is too long for %s",
                  CONT_OSTREL__CSR_FILE);
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    }
    Mos_RC rc = contOstrel_GenerateCsr(&pCtx->pCont->ostrel);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    std::vector<UINT8> answer;
    struct Job {
        const CHAR_A *pPath;
        std::vector<UINT8> *pAnswer;
    } job{path, &answer};
    rc = (Mos_RC)mosUtils_RunBlocking(
        [](void *p) {
            auto *pJob = static_cast<Job *>(p);
            return (int)contCmd_ReadCsr(pJob->pPath, pJob->pAnswer);
        },
        &job);
    if (rc != MOS_RC__SUCCESS) {
        // Someone took the file away between its writing and this read: a failure, not a stop.
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Failed to read %s after its generation", path);
        return rc;
    }
    contCmd_AppendAnswer(pCtx->pRes, answer.data(), (UINT32)answer.size());
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_UpdateCertificateCmd(ContCmdCtx *pCtx)
{
    const auto rec = contCmd_RecAt<OstrelTgtReq_UpdateCertificate>(pCtx, 0);
    // The length rule holds the count inside the record.
    MOS_ASSERT(sizeof(rec) + (UINT64)rec.certificateLen <= pCtx->recLen);
    const auto *pText = reinterpret_cast<const CHAR_A *>(pCtx->pRec + sizeof(rec));
    return contOstrel_UpdateCertificate(&pCtx->pCont->ostrel, pText, rec.certificateLen);
}
