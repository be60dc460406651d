# Makes a catalog that lists one file, signed by one signer of the test PKI.
#   cmake -DMEMBER=<file> -DSIGNER=<name> -DPKI=<pki dir> -DOUT=<catalog> -P make-test-catalog.cmake
# The member's hash is the SHA-1 of the whole file: that is what Wine's
# CryptCATAdminCalcHashFromFileHandle returns. The catalog is a certificate
# trust list (one entry: the hash with the member-info and indirect-data
# attributes) as PKCS #7 signed data with the list directly under [0],
# written with openssl and signed with SHA-1 (Wine cannot enumerate a
# catalog signed with SHA-256).
file(SHA1 ${MEMBER} hash)
string(TOUPPER ${hash} hash)
set(config ${OUT}.cnf)
file(WRITE ${config} "asn1=SEQUENCE:contentInfo
[contentInfo]
type=OID:pkcs7-signedData
content=EXPLICIT:0,SEQUENCE:signedData
[signedData]
version=INTEGER:1
digestAlgs=SET:digestAlgs
encap=SEQUENCE:encap
signerInfos=SET:empty
[digestAlgs]
alg=SEQUENCE:sha1Alg
[sha1Alg]
oid=OID:sha1
params=NULL
[empty]
[encap]
type=OID:1.3.6.1.4.1.311.10.1
content=EXPLICIT:0,SEQUENCE:ctl
[ctl]
usage=SEQUENCE:usage
listId=FORMAT:HEX,OCTETSTRING:5A454C54455354
thisUpdate=UTCTIME:250101000000Z
alg=SEQUENCE:memberAlg
subjects=SEQUENCE:subjects
[usage]
u=OID:1.3.6.1.4.1.311.12.1.1
[memberAlg]
oid=OID:1.3.6.1.4.1.311.12.1.2
params=NULL
[subjects]
s1=SEQUENCE:subject1
[subject1]
id=FORMAT:HEX,OCTETSTRING:${hash}
attrs=SET:attrs1
[attrs1]
a1=SEQUENCE:memberInfoAttr
a2=SEQUENCE:indirectAttr
[memberInfoAttr]
oid=OID:1.3.6.1.4.1.311.12.2.2
vals=SET:memberInfoVals
[memberInfoVals]
v=SEQUENCE:memberInfo
[memberInfo]
guid=BMPSTRING:{C689AAB8-8E78-11D0-8C47-00C04FC295EE}
ver=INTEGER:512
[indirectAttr]
oid=OID:1.3.6.1.4.1.311.2.1.4
vals=SET:indirectVals
[indirectVals]
v=SEQUENCE:indirect
[indirect]
data=SEQUENCE:spcData
digest=SEQUENCE:digestInfo
[spcData]
type=OID:1.3.6.1.4.1.311.2.1.15
value=NULL
[digestInfo]
alg=SEQUENCE:sha1Alg
d=FORMAT:HEX,OCTETSTRING:${hash}
")
execute_process(COMMAND openssl asn1parse -genconf ${config} -noout -out ${OUT}.unsigned
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "openssl asn1parse failed: ${result}")
endif()
file(REMOVE ${OUT})
execute_process(COMMAND osslsigncode sign -certs ${PKI}/${SIGNER}.chain.pem -key ${PKI}/${SIGNER}.key
                        -h sha1 -in ${OUT}.unsigned -out ${OUT}
                OUTPUT_QUIET RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "osslsigncode failed: ${result}")
endif()
file(REMOVE ${OUT}.unsigned ${config})
