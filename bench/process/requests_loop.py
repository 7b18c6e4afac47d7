#!/usr/bin/env python3
"""The same pass as curl_loop in Python: one requests.Session, the same requests, the result of
each answer taken with json (a path of member names) or re (the first group of the first match,
caseless, on the page decoded from GBK), one line per account.

    requests_loop.py ACCOUNTS
"""
import json
import re
import sys

import requests


def json_text(body, path):
    try:
        value = json.loads(body)
        for name in path.split("."):
            value = value[name]
        return str(value)
    except (ValueError, KeyError, TypeError):
        return body.decode("utf-8", "replace")


def main():
    session = requests.Session()
    session.trust_env = False
    patterns = {}
    out = []
    with open(sys.argv[1], encoding="utf-8") as accounts:
        for number, line in enumerate(accounts, 1):
            fields = line.rstrip("\n").split("\t")
            method, url, kind, tying, body = fields[:5]
            headers = dict(h.split(": ", 1) for h in fields[5:])
            answer = session.request(method, url, headers=headers,
                                     data=body.encode() if method == "POST" else None)
            if kind == "json":
                text = json_text(answer.content, tying)
            else:
                pattern = patterns.get(tying)
                if pattern is None:
                    pattern = patterns[tying] = re.compile(tying, re.IGNORECASE | re.DOTALL)
                found = pattern.search(answer.content.decode("gbk", "replace"))
                text = found.group(1) if found else "匹配失败"
            out.append(f"{number}\t{text}\n")
    sys.stdout.write("".join(out))


if __name__ == "__main__":
    main()
