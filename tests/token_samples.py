"""Texts of each kind an agent's history holds, from several sources each, to hold token
estimates against a real tokenizer (test_tokens.py, benchmarks/tokens.py).

Prose is from the interpreter's own documentation (pydoc's topics, module docstrings),
code from its standard library and C headers, diffs are difflib's between stdlib files
and edited copies, JSON and logs are generated records of three kinds, Russian, Chinese
and Japanese are paragraphs written here in three registers (a story, a manual, a
weather report), base64 encodes random bytes, a source file and a compressed one.
"""

import base64
import difflib
import inspect
import json
import random
import sysconfig
import zlib
from pathlib import Path

import pydoc_data.topics

STDLIB = Path(sysconfig.get_paths()["stdlib"])
INCLUDE = Path(sysconfig.get_paths()["include"])
SIZE = 12_000  # characters a sample, where the source is larger


def _files(folder, names, start=0):
    return [(folder / name).read_text(encoding="utf-8")[start:start + SIZE] for name in names]


def prose():
    """The paragraphs that are sentences (no code blocks, grammar rules, headings or lists)
    of pydoc's topics, in two halves, and of some modules' docstrings."""
    topics = pydoc_data.topics.topics
    docs = [inspect.getdoc(value) or "" for name in ["argparse", "difflib", "logging",
                                                     "subprocess", "dataclasses", "functools"]
            for value in vars(__import__(name)).values()
            if inspect.isclass(value) or inspect.isfunction(value)]
    sources = [[topics[name] for name in sorted(topics)[start::3]] for start in (0, 1)]
    return ["\n\n".join(paragraph for paragraph in "\n\n".join(texts).split("\n\n")
                        if paragraph.strip() and not paragraph.startswith((" ", "*", "="))
                        and "::" not in paragraph)[:SIZE]
            for texts in [*sources, list(dict.fromkeys(docs))]]


def diff():
    rng, samples = random.Random(3), []
    for name in ["argparse.py", "json/decoder.py", "textwrap.py", "logging/handlers.py"]:
        old = (STDLIB / name).read_text(encoding="utf-8")[:60_000].splitlines(keepends=True)
        new = []
        for line in old:  # one line in 25 removed, one changed, one in 33 added after
            roll = rng.random()
            if roll >= 0.04:
                new.append(line.replace("self", "this").rstrip() + "  # changed\n"
                           if roll < 0.08 else line)
            if roll > 0.97:
                new.append(f"    log.debug('step %d', {rng.randint(0, 999)})\n")
        samples.append("".join(difflib.unified_diff(old, new, f"a/{name}", f"b/{name}"))[:SIZE])
    return samples


_WORDS = ("alpha beta gamma delta report invoice shipping pending failed done retry network "
          "storage compute").split()


def _records(rng):
    """A user, an order and an event, as APIs and tools return them."""
    day = f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T{rng.randint(0, 23):02d}:00Z"
    return [
        {"id": rng.randint(1, 10**6), "name": rng.choice(["Alice Johnson", "Carlos García"]),
         "email": f"user{rng.randint(1, 9999)}@example.com", "active": rng.random() < 0.5,
         "score": round(rng.uniform(0, 100), 2), "tags": rng.sample(_WORDS, 3),
         "address": {"street": f"{rng.randint(1, 999)} Main St", "city": "Paris",
                     "zip": str(rng.randint(10000, 99999))}, "created_at": day},
        {"order_id": f"ORD-{rng.randint(100000, 999999)}", "status": rng.choice(_WORDS),
         "items": [{"sku": f"SKU{rng.randint(1000, 9999)}", "qty": rng.randint(1, 5),
                    "price": round(rng.uniform(1, 500), 2)} for _ in range(rng.randint(1, 4))],
         "total": round(rng.uniform(10, 2000), 2), "currency": "USD",
         "customer": {"id": rng.randint(1, 99999), "vip": rng.random() < 0.2}},
        {"event": rng.choice(["file.read", "http.request", "db.query"]),
         "ts": 1_700_000_000 + rng.randint(0, 10**7), "ok": rng.random() < 0.9,
         "duration_ms": round(rng.expovariate(0.01), 3),
         "path": f"/srv/app/{rng.choice(_WORDS)}/{rng.choice(_WORDS)}_{rng.randint(1, 99)}.py",
         "error": None if rng.random() < 0.8 else rng.choice(["timeout", "ENOENT: no such file"])},
    ]


def json_texts(indent):
    rng = random.Random(0)
    kinds = zip(*(_records(rng) for _ in range(200)))
    return [json.dumps(records, indent=indent, separators=None if indent else (",", ":"))[:SIZE]
            for records in kinds]


def logs():
    rng = random.Random(11)
    n, pick = rng.randint, rng.choice

    def lines():  # an application's log, a web server's access log, the kernel's
        clock = f"{n(0, 23):02d}:{n(0, 59):02d}:{n(0, 59):02d}"
        yield (f"2024-05-{n(1, 28):02d} {clock},{n(0, 999):03d} {pick(['INFO', 'ERROR'])} "
               f"[worker-{n(1, 16)}] app.{pick(_WORDS)}: request {n(1000, 99999)} took "
               f"{n(1, 5000)} ms status={pick([200, 404, 500])}")
        yield (f'{n(1, 255)}.{n(1, 255)}.{n(1, 255)}.{n(1, 255)} - - [13/May/2024:{clock} +0000] '
               f'"GET /api/v1/{pick(_WORDS)}/{n(1, 99999)}?page={n(1, 50)} HTTP/1.1" '
               f'{pick([200, 304, 502])} {n(100, 90000)} "-" "Mozilla/5.0 (X11; Linux x86_64)"')
        yield (f"May {n(1, 28):2d} {clock} host{n(1, 9)} kernel: [{rng.uniform(0, 99999):12.6f}] "
               f"eth0: link up, {pick([100, 10000])} Mbps, pid={n(1, 65535)} "
               f'uid={n(0, 1000)} comm="{pick(_WORDS)}"')

    return ["\n".join(kind)[:SIZE] for kind in zip(*(lines() for _ in range(400)))]


def base64_texts():
    packed = zlib.compress((STDLIB / "argparse.py").read_bytes()[:40_000])
    return [base64.b64encode(data).decode()[:SIZE] for data in (
        random.Random(5).randbytes(9000), (STDLIB / "difflib.py").read_bytes()[:SIZE], packed)]


RUSSIAN = [
    "Вчера вечером мы с братом долго гуляли по набережной. Река была спокойной, над водой "
    "летали чайки, а на другом берегу зажигались огни старого города. Брат рассказывал о "
    "своей новой работе: он теперь отвечает за склад запасных частей для техники.",
    "Чтобы установить программу, откройте терминал и выполните команду установки пакета. "
    "Если система сообщит, что у вас недостаточно прав, повторите команду от имени "
    "администратора. Настройки хранятся в файле конфигурации в домашнем каталоге.",
    "По данным метеорологов, в ближайшие выходные в центральных регионах страны ожидается "
    "резкое похолодание. Ночью температура опустится до минус пятнадцати градусов. Синоптики "
    "рекомендуют водителям заранее сменить шины и не выезжать на трассу без необходимости.",
]
CHINESE = [
    "昨天下午，我和朋友一起去了城市西边的公园。天气很好，阳光温暖，湖面上有几只白色的天鹅慢慢地"
    "游来游去。我们在湖边找了一张长椅坐下，一边喝茶，一边聊起了大学时候的生活。",
    "安装本软件之前，请先确认您的电脑已经连接到互联网，并且操作系统的版本符合最低要求。下载完成后，"
    "双击安装包，按照提示选择安装目录。如果系统提示权限不足，请使用管理员账户重新运行安装程序。",
    "据气象部门预报，本周末北方大部分地区将迎来明显降温，部分地区还会出现大风和降雪天气。专家提醒"
    "市民注意防寒保暖，外出时尽量乘坐公共交通工具，驾驶车辆要减速慢行，保持安全距离。",
]
JAPANESE = [
    "昨日の夕方、久しぶりに駅前の小さな喫茶店に立ち寄りました。店内は昔と同じように静かで、古い"
    "レコードからジャズが流れていました。マスターは私の顔を覚えていてくれました。",
    "このアプリケーションをインストールするには、まず公式サイトから最新版のパッケージをダウンロード"
    "してください。ダウンロードが完了したら、画面の指示に従ってインストールを進めます。",
    "気象庁によると、今週末は強い寒気の影響で、日本海側を中心に大雪となるおそれがあります。山沿いでは"
    "一日に五十センチ以上の積雪が予想されており、交通機関に大きな乱れが出る可能性があります。",
]


def samples():
    """Each kind's name and its samples."""
    return {
        "English prose": prose(),
        "Python code": _files(STDLIB, ["argparse.py", "asyncio/base_events.py",
                                       "json/encoder.py", "difflib.py", "dataclasses.py"]),
        # Past each header's licence and include guards, into its declarations.
        "C code": _files(INCLUDE, ["object.h", "cpython/object.h", "unicodeobject.h",
                                   "cpython/unicodeobject.h", "pyerrors.h"], start=2000),
        "unified diff": diff(), "compact JSON": json_texts(None), "indented JSON": json_texts(2),
        "log lines": logs(), "Russian": RUSSIAN, "Chinese": CHINESE, "Japanese": JAPANESE,
        "base64": base64_texts(),
    }
