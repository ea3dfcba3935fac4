#!/usr/bin/env python3
"""Computes the expected values of the core crypto tests independently of the library.

Run with a python3 that has the `cryptography` package:
    python3 tests/core/data/make_core_vectors.py [fuzz-corpus-dir]
It prints C++ constants for tests/core/velqo_v1_crypto_test.cpp and
tests/core/oauth_token_verifier_test.cpp. With a directory argument it also writes seed inputs
for the ID-token fuzz target there. ECDSA signatures are randomised, so the tokens differ from
run to run; any run's output is valid.
"""
import base64
import hashlib
import json
import os
import sys

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF


def hkdf(secret, salt, info):
    return HKDF(algorithm=hashes.SHA256(), length=32, salt=salt, info=info).derive(secret)


def sha256(data):
    return hashlib.sha256(data).digest()


def cxx_hex(name, data):
    print(f'constexpr const char* {name} = "{data.hex()}";')


def cxx_text(name, text):
    print(f'constexpr const char* {name} = "{text}";')


# ---- device-trust suite ----
secret = bytes(range(32))
salt0 = bytes((i * 7 + 1) % 256 for i in range(32))
salt1 = bytes((i * 11 + 3) % 256 for i in range(32))
salt2 = bytes((i * 13 + 5) % 256 for i in range(32))
priv = bytes(range(100, 132))
iv0 = bytes(range(12))
iv1 = bytes(range(12, 24))
iv2 = bytes(range(24, 36))
bundle, os_name, algorithm = "com.velqo.tests", "Linux", "ECDH P-256+Ed25519"
user_id, domain = "user@example.com", "example.com"
a_peer = b"\x04" + bytes(range(64))

sk0 = hkdf(secret, salt0, b"Symmetrickey0")
sk2 = hkdf(secret, salt1, b"Symmetrickey2")
hds = hkdf(secret, salt2, b"HDS")
combinedprs = AESGCM(sk0).encrypt(iv0, priv, None)
sk1 = hkdf(secret, sha256(combinedprs), b"Symmetrickey1")
info = (bundle + os_name + algorithm + "v1").encode()
combined_salt = iv1 + AESGCM(sk1).encrypt(iv1, salt0 + info, None)
pub = ed25519.Ed25519PrivateKey.from_private_bytes(priv).public_key().public_bytes(
    serialization.Encoding.Raw, serialization.PublicFormat.Raw)
keyset = iv2 + AESGCM(sk2).encrypt(iv2, pub + combined_salt, None)
dfp = sha256(hds + bundle.encode() + os_name.encode())
hi = base64.b64encode(sha256(salt1 + salt2 + sk2 + combinedprs + a_peer + secret + user_id.encode() +
                             domain.encode() + dfp)).decode()
signer = ed25519.Ed25519PrivateKey.from_private_bytes(priv)
hex_message = bytes.fromhex("00ff10ab") + domain.encode()
b64_message = b"challenge-bytes" + domain.encode()

print("// ---- device-trust suite (velqo_v1_crypto_test.cpp) ----")
for name, value in [("kSecret", secret), ("kSalt0", salt0), ("kSalt1", salt1), ("kSalt2", salt2),
                    ("kPrivateKey", priv), ("kIv0", iv0), ("kIv1", iv1), ("kIv2", iv2), ("kAPeer", a_peer),
                    ("kSk0", sk0), ("kSk1", sk1), ("kSk2", sk2), ("kHds", hds), ("kCombinedPrs", combinedprs),
                    ("kInfo", info), ("kCombinedSalt", combined_salt), ("kPublicKey", pub), ("kKeyset", keyset),
                    ("kDfp", dfp)]:
    cxx_hex(name, value)
cxx_text("kHi", hi)
cxx_text("kHexChallenge", "00FF10ab")
cxx_text("kHexSignature", base64.b64encode(signer.sign(hex_message)).decode())
cxx_text("kHexMapp", base64.b64encode(hex_message).decode())
cxx_text("kBase64Challenge", base64.b64encode(b"challenge-bytes").decode())
cxx_text("kBase64Signature", base64.b64encode(signer.sign(b64_message)).decode())
cxx_text("kBase64Mapp", base64.b64encode(b64_message).decode())


# ---- ID tokens ----
def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def sign_token(key, alg, digest, size, header, payload):
    signing_input = b64url(json.dumps(header, separators=(",", ":")).encode()) + "." + \
        b64url(json.dumps(payload, separators=(",", ":")).encode())
    r, s = decode_dss_signature(key.sign(signing_input.encode(), ec.ECDSA(digest)))
    return signing_input + "." + b64url(r.to_bytes(size, "big") + s.to_bytes(size, "big"))


curves = [("ES256", ec.SECP256R1(), hashes.SHA256(), 32, 0x1234567890ABCDEF),
          ("ES384", ec.SECP384R1(), hashes.SHA384(), 48, 0x2234567890ABCDEF),
          ("ES512", ec.SECP521R1(), hashes.SHA512(), 66, 0x3234567890ABCDEF)]
print("\n// ---- ID tokens (oauth_token_verifier_test.cpp, id_token_fuzz.cpp) ----")
tokens = {}
for alg, curve, digest, size, scalar in curves:
    key = ec.derive_private_key(scalar, curve)
    private_pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                    serialization.NoEncryption()).decode()
    public_pem = key.public_key().public_bytes(serialization.Encoding.PEM,
                                               serialization.PublicFormat.SubjectPublicKeyInfo).decode()
    token = sign_token(key, alg, digest, size, {"alg": alg, "typ": "JWT"},
                       {"aud": "client-123", "sub": "user-1", "iss": "https://issuer.example"})
    tokens[alg] = token
    print(f'constexpr const char* k{alg}PrivatePem = R"PEM({private_pem})PEM";')
    print(f'constexpr const char* k{alg}PublicPem = R"PEM({public_pem})PEM";')
    print(f'constexpr const char* k{alg}PythonToken = "{token}";')

if len(sys.argv) > 1:
    corpus = sys.argv[1]
    os.makedirs(corpus, exist_ok=True)
    es256 = ec.derive_private_key(curves[0][4], curves[0][1])
    seeds = {
        "valid_es256": tokens["ES256"],
        "valid_es256_aud_array": sign_token(es256, "ES256", hashes.SHA256(), 32, {"alg": "ES256"},
                                            {"aud": ["other", "client-123"]}),
        "wrong_audience": sign_token(es256, "ES256", hashes.SHA256(), 32, {"alg": "ES256"}, {"aud": "x"}),
        "truncated": tokens["ES256"][: len(tokens["ES256"]) // 2],
        "two_parts": tokens["ES256"].rsplit(".", 1)[0],
        "alg_none": b64url(b'{"alg":"none"}') + "." + b64url(b'{"aud":"client-123"}') + ".",
        "huge_header": b64url(b'{"alg":"ES256","x":"' + b"A" * 60000 + b'"}') + ".e30.AAAA",
        "large_header": b64url(b'{"alg":"ES256","x":"' + b"A" * 30000 + b'"}') + ".e30.AAAA",
        "nested_header": b64url(b"[" * 5000 + b"]" * 5000) + ".e30.AAAA",
        "valid_es384_under_es256_key": tokens["ES384"],
    }
    for name, text in seeds.items():
        with open(os.path.join(corpus, name), "w") as out:
            out.write(text)
