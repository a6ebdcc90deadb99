#!/usr/bin/env python3
"""Signed test files that no signing tool makes:
    signature_surgery.py transplant DONOR SIGNED_TARGET OUT
        OUT is SIGNED_TARGET carrying DONOR's signature, whose signed Authenticode digest is
        swapped in place for SIGNED_TARGET's: the file digest matches, the signer's
        messageDigest no longer matches the signed content.
    signature_surgery.py damage SIGNED OUT
        OUT is SIGNED with the first byte of its PKCS#7 changed, so it no longer decodes.
    signature_surgery.py second SIGNED OTHER OUT
        OUT is SIGNED with OTHER's certificate table entry after its own, the table grown over it.
    signature_surgery.py junk SIGNED WHERE SIZE OUT
        OUT is SIGNED with SIZE bytes of junk after its signature: "table" after its entry, the
        table grown over them; "entry" inside its entry, the entry and the table grown; "file"
        after the table, which stays as it was.
    signature_surgery.py retime SIGNED OUT
        OUT is SIGNED with the last second of the signing time that its signature states last
        (a legacy countersignature's, in its unsigned attributes) one later, so that the
        countersignature no longer verifies while everything else still does.
    signature_surgery.py nul CERTIFICATE_DER TEXT ISSUER_KEY
        The "#" of TEXT, found once in the certificate, becomes a NUL, and the certificate is
        signed again with ISSUER_KEY (RSA with SHA-256), in place."""
import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from pe_fields import data_directory  # noqa: E402  (found through the path above)

# The DigestInfo of SpcIndirectData: SHA-256's algorithm identifier, then a 32-byte OCTET STRING.
SHA256_DIGEST_INFO = bytes.fromhex("06096086480165030402010500" "0420")


def table_directory(image):
    """Where the header gives the certificate table's offset and size."""
    return data_directory(image, 4)


def certificate_table(image):
    offset, size = struct.unpack_from("<II", image, table_directory(image))
    length = struct.unpack_from("<I", image, offset)[0]
    return offset, size, image[offset + 8:offset + length]


def signed_digest(signature):
    at = signature.index(SHA256_DIGEST_INFO) + len(SHA256_DIGEST_INFO)
    return at, signature[at:at + 32]


def transplant(donor_path, target_path, out_path):
    donor = open(donor_path, "rb").read()
    target = bytearray(open(target_path, "rb").read())
    _, _, signature = certificate_table(donor)
    at, _ = signed_digest(signature)
    offset, size, target_signature = certificate_table(target)
    signature = signature[:at] + signed_digest(target_signature)[1] + signature[at + 32:]
    entry = struct.pack("<IHH", 8 + len(signature), 0x0200, 0x0002) + signature
    entry += b"\0" * (-len(entry) % 8)
    image = target[:offset] + entry
    struct.pack_into("<I", image, table_directory(image) + 4, len(entry))
    open(out_path, "wb").write(image)


def damage(signed_path, out_path):
    image = bytearray(open(signed_path, "rb").read())
    offset, _, _ = certificate_table(image)
    image[offset + 8] ^= 0xFF
    open(out_path, "wb").write(image)


def second(signed_path, other_path, out_path):
    image = bytearray(open(signed_path, "rb").read())
    other = open(other_path, "rb").read()
    other_offset, other_size, _ = certificate_table(other)
    _, size, _ = certificate_table(image)
    struct.pack_into("<I", image, table_directory(image) + 4, size + other_size)
    open(out_path, "wb").write(image + other[other_offset:other_offset + other_size])


def junk(signed_path, where, count, out_path):
    image = bytearray(open(signed_path, "rb").read())
    offset, size, _ = certificate_table(image)
    count = int(count)
    if where in ("table", "entry"):
        struct.pack_into("<I", image, table_directory(image) + 4, size + count)
    if where == "entry":
        struct.pack_into("<I", image, offset, size + count)
    with open(out_path, "wb") as out:
        out.write(image)
        chunk = b"junk riding along with a signature " * 30000
        while count > 0:
            out.write(chunk[:count])
            count -= len(chunk)



def der_header(data, at):
    """The length of the DER value at `at` and where its contents start."""
    length, start = data[at + 1], at + 2
    if length & 0x80:
        count, length = length & 0x7F, 0
        for byte in data[start:start + count]:
            length = length << 8 | byte
        start += count
    return length, start


def nul(certificate_path, text, key_path):
    certificate = bytearray(open(certificate_path, "rb").read())
    text = text.encode()
    assert certificate.count(text) == 1, "the text is not in the certificate exactly once"
    certificate[certificate.index(text) + text.index(b"#")] = 0
    _, tbs_at = der_header(certificate, 0)
    tbs_length, tbs_contents = der_header(certificate, tbs_at)
    tbs = bytes(certificate[tbs_at:tbs_contents + tbs_length])
    signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key_path], input=tbs,
                               stdout=subprocess.PIPE, check=True).stdout
    # The signature is the certificate's last value, a BIT STRING of the same size as before.
    bits_length, _ = der_header(certificate, len(certificate) - len(signature) - 5)
    assert bits_length == len(signature) + 1, "the signature is not where it was expected"
    certificate[len(certificate) - len(signature):] = signature
    open(certificate_path, "wb").write(certificate)


def retime(signed_path, out_path):
    image = bytearray(open(signed_path, "rb").read())
    offset, size, _ = certificate_table(image)
    # signingTime's OID, then its SET and a UTCTime of 13 characters
    at = image.rfind(bytes.fromhex("06092a864886f70d010905310f170d"), offset, offset + size)
    assert at >= 0, "no signing time in the signature"
    second = at + 15 + 11
    image[second] = ord("0") + (image[second] - ord("0") + 1) % 10
    open(out_path, "wb").write(image)


if __name__ == "__main__":
    {"transplant": transplant, "damage": damage, "second": second,
     "junk": junk, "nul": nul, "retime": retime}[sys.argv[1]](*sys.argv[2:])
