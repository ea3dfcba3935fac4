#!/usr/bin/env python3
"""Computes the expected values of the V5 credential tests independently of the library.

Run with a python3 that has the `cryptography` package:
    python3 tests/account/data/make_v5_vectors.py > tests/account/data/v5_vectors.json
Every value is deterministic (fixed keys and nonces), so reruns give the same file.
"""
import base64
import hashlib
import json

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ed25519
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
from cryptography.hazmat.primitives.kdf.hkdf import HKDF


def hkdf(secret, salt, info):
    return HKDF(algorithm=hashes.SHA256(), length=32, salt=salt, info=info).derive(secret)


def b64(data):
    return base64.b64encode(data).decode()


secret = bytes(range(32))
salt = bytes(range(100, 132))
combined_prs = bytes(range(7, 67))
sk1 = {"secret": secret.hex(), "combinedPrs": combined_prs.hex(),
       "expected": hkdf(secret, hashlib.sha256(combined_prs).digest(), b"velqo.v5.sk1").hex()}

key = bytes(range(200, 232))
nonce = bytes(range(12))
opened = []
for plaintext, aad in ((b"\x01", None), (b"sealed private key bytes", None), (b"with aad", b"context")):
    blob = nonce + AESGCM(key).encrypt(nonce, plaintext, aad)
    opened.append({"key": key.hex(), "sealed": blob.hex(), "aad": aad.hex() if aad is not None else None,
                   "plaintext": plaintext.hex()})

salt0 = bytes(range(50, 82))
info = b"App 1.0 (Model; Linux 6.1)LinuxECDH P-256+Ed25519ios_v5_1.0_7"
combined_salt = nonce + AESGCM(key).encrypt(nonce, salt0 + info, None)

seed = bytes(range(1, 33))
private = ed25519.Ed25519PrivateKey.from_private_bytes(seed)
signatures = []
for challenge, raw, context in (("00ff", b"\x00\xff", "auth.example.com"),
                                ("AbCd", bytes.fromhex("abcd"), None),
                                ("aGVsbG8=", b"hello", "auth.example.com"),
                                ("YWJj", b"abc", "")):
    message = raw + (context.encode() if context else b"")
    signatures.append({"challenge": challenge, "context": context, "seed": seed.hex(),
                       "signature": b64(private.sign(message)), "message": b64(message)})

print(json.dumps({"deriveSK1": sk1, "open": opened,
                  "combinedSalt": {"key": key.hex(), "sealed": combined_salt.hex(), "info": info.hex(),
                                   "salt0": salt0.hex()},
                  "sign": signatures}, indent=1))
