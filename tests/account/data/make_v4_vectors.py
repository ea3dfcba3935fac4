#!/usr/bin/env python3
"""Computes the V4 device-proof test vectors independently of the library.

Run with a python3 that has the `cryptography` package:
    python3 tests/account/data/make_v4_vectors.py > tests/account/data/v4_proof_vectors.json
Plain Python integers do the Paillier arithmetic; AES-GCM comes from `cryptography`. The
output is deterministic (a fixed seed drives every random choice).
"""
import base64
import hashlib
import json
import math
import random

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

rng = random.Random(20261207)


def is_probable_prime(n):
    if n < 2:
        return False
    for small in (2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37):
        if n % small == 0:
            return n == small
    d, s = n - 1, 0
    while d % 2 == 0:
        d, s = d // 2, s + 1
    for _ in range(40):
        a = rng.randrange(2, n - 1)
        x = pow(a, d, n)
        if x in (1, n - 1):
            continue
        for _ in range(s - 1):
            x = pow(x, 2, n)
            if x == n - 1:
                break
        else:
            return False
    return True


def prime(bits):
    while True:
        candidate = rng.getrandbits(bits) | (1 << (bits - 1)) | 1
        if is_probable_prime(candidate):
            return candidate


def key32(value):
    raw = value.to_bytes((value.bit_length() + 7) // 8, "big") if value else b""
    return raw[-32:].rjust(32, b"\0")


def seal(text, key_int):
    nonce = bytes(rng.getrandbits(8) for _ in range(12))
    data = text if isinstance(text, bytes) else text.encode()
    sealed = AESGCM(key32(key_int)).encrypt(nonce, data, None)
    return base64.b64encode(nonce + sealed).decode()


def sha_int(text):
    return int.from_bytes(hashlib.sha256(text.encode()).digest(), "big")


def L(x, n):
    return (x - 1) // n  # callers only pass x >= 1 here


def expected_m2(p, q, m1, c2):
    n = p * q
    lam = (p - 1) * (q - 1) // math.gcd(p - 1, q - 1)
    l1 = L(pow(m1, lam, n * n), n)
    if l1 == 0 or math.gcd(l1, n) != 1:
        return None
    mu = pow(l1, -1, n)
    return (L(pow(c2, lam, n * n), n) * mu) % n


def proof_case(name, p, q, r1, r2, r3, m1, message=None, shares_text=None, r3_text=None, refused=None):
    """Service side: shares d = p - r, payloads under R3, er3 under sha256(Er1r2), c2 with M1."""
    n = p * q
    d1, d2 = p - r1, q - r2
    er1r2 = seal(shares_text or f"{r1},{r2}", r3)
    e12 = seal(f"{d1},{d2}", r3)
    er3 = seal(r3_text or str(r3), sha_int(er1r2))
    if message is None:
        message = rng.randrange(1, n)
    if n < 3:  # no key at all: the client must refuse before any arithmetic
        c2, m2 = 5, None
    else:
        noise = rng.randrange(2, n)
        while math.gcd(noise, n) != 1:
            noise = rng.randrange(2, n)
        c2 = (pow(m1, message, n * n) * pow(noise, n, n * n)) % (n * n)
        m2 = None if refused else expected_m2(p, q, m1, c2)
    return {"name": name, "c2": str(c2), "m1": str(m1), "er1r2": er1r2, "e12": e12, "er3": er3,
            "m2": None if m2 is None else str(m2), "message": str(message)}


def main():
    cases = []
    for bits in (256, 512, 1024):
        p, q = prime(bits), prime(bits)
        r1 = rng.randrange(1, p)
        r2 = -rng.randrange(1, q)  # a negative share: p = d1 + r1 holds either way
        r3 = rng.getrandbits(300)  # wider than a key: only the last 32 bytes key the payloads
        m1 = rng.getrandbits(32)
        cases.append(proof_case(f"modulus {2 * bits} bits", p, q, r1, r2, r3, m1))
    p, q = prime(128), prime(128)
    cases.append(proof_case("three shares", p, q, 5, 6, 77, 12345, shares_text="5,6,7", refused=True))
    cases.append(proof_case("R3 not a number", p, q, 5, 6, 77, 12345, r3_text="77x", refused=True))
    cases.append(proof_case("shares with empty pieces", p, q, 11, 13, 99, 4242, shares_text=",11,,13,"))
    # p = 5, q = 7: N = 35, lambda = 12; pick M1 whose L value shares a factor with 35.
    m1 = next(g for g in range(2, 1225) if math.gcd(L(pow(g, 12, 1225), 35), 35) != 1 and L(pow(g, 12, 1225), 35) != 0)
    cases.append(proof_case("no inverse for mu", 5, 7, 2, 3, 1234, m1, message=3))
    cases.append(proof_case("modulus of one", 1, 1, 0, 0, 55, 7, message=0))
    vectors = {
        "sha256Hex": {"": hashlib.sha256(b"").hexdigest(), "h1 text": hashlib.sha256(b"h1 text").hexdigest(),
                      "\u00e9": hashlib.sha256("\u00e9".encode()).hexdigest()},
        "keys": [{"value": str(v), "key": key32(v).hex()} for v in (0, 5, 2**256 + 5, 2**255 + 3, 2**300 - 1)],
        "payloads": [{"payload": seal(text, key), "key": str(key), "plaintext": text}
                     for text, key in (("hello", 42), ("", 2**256 + 7), ("12345678901234567890", 3**150))],
        "notUtf8": {"payload": seal(b"ab\xff", 9), "key": "9"},
        "proofs": cases,
    }
    print(json.dumps(vectors, indent=1))


if __name__ == "__main__":
    main()
