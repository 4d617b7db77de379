"""Texts of each kind an agent's history holds, from several sources each, to hold token
estimates against a real tokenizer (test_tokens.py, benchmarks/tokens.py).

Prose is from the interpreter's own documentation (pydoc's topics, module docstrings),
code from its standard library and C headers, diffs are difflib's between stdlib files
and edited copies, JSON and logs are generated records, Russian, Chinese and Japanese are
paragraphs written here in three registers (a story, a manual, a weather report), base64
encodes random bytes, a source file and a compressed one.
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


def _file(path, start=0):
    return path.read_text(encoding="utf-8")[start:start + SIZE]


def _prose(text):
    """The paragraphs of reStructuredText-like docs that are sentences: no code blocks,
    grammar rules, headings or lists."""
    return "\n\n".join(paragraph for paragraph in text.split("\n\n")
                       if paragraph.strip() and not paragraph.startswith((" ", "*", "="))
                       and "::" not in paragraph)


def prose():
    topics = pydoc_data.topics.topics
    names = sorted(topics)
    samples = [_prose("\n\n".join(topics[name] for name in names[start::3]))[:SIZE]
               for start in (0, 1)]
    modules = ["argparse", "difflib", "logging", "subprocess", "dataclasses", "functools"]
    docs = []
    for name in modules:
        module = __import__(name)
        docs += [inspect.getdoc(value) or "" for value in vars(module).values()
                 if inspect.isclass(value) or inspect.isfunction(value)]
    samples.append(_prose("\n\n".join(dict.fromkeys(docs)))[:SIZE])
    return samples


def python():
    return [_file(STDLIB / name) for name in
            ["argparse.py", "asyncio/base_events.py", "json/encoder.py", "difflib.py",
             "dataclasses.py"]]


def c():
    # Past each header's licence and include guards, into its declarations.
    return [_file(INCLUDE / name, start=2000) for name in
            ["object.h", "cpython/object.h", "unicodeobject.h", "cpython/unicodeobject.h",
             "pyerrors.h"]]


def diff():
    rng = random.Random(3)
    samples = []
    for name in ["argparse.py", "json/decoder.py", "textwrap.py", "logging/handlers.py"]:
        old = (STDLIB / name).read_text(encoding="utf-8")[:60_000].splitlines(keepends=True)
        new = []
        for line in old:
            roll = rng.random()
            if roll < 0.04:
                continue  # a removed line
            if roll < 0.08:
                line = line.replace("self", "this").rstrip() + "  # changed\n"
            new.append(line)
            if roll > 0.97:
                new.append(f"    log.debug('step %d', {rng.randint(0, 999)})\n")
        samples.append("".join(difflib.unified_diff(old, new, f"a/{name}", f"b/{name}"))[:SIZE])
    return samples


_WORDS = ("alpha beta gamma delta report invoice shipping pending failed done retry network "
          "storage compute").split()
_NAMES = ["Alice Johnson", "Bob Smith", "Carlos García", "Dana Lee", "Erik Nilsson", "Fatima Khan"]


def _user(rng):
    return {"id": rng.randint(1, 10**6), "name": rng.choice(_NAMES),
            "email": f"user{rng.randint(1, 9999)}@example.com", "active": rng.random() < 0.5,
            "score": round(rng.uniform(0, 100), 2), "tags": rng.sample(_WORDS, 3),
            "address": {"street": f"{rng.randint(1, 999)} Main St",
                        "city": rng.choice(["Paris", "Berlin", "Austin"]),
                        "zip": str(rng.randint(10000, 99999))},
            "created_at": f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T"
                          f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:00Z"}


def _order(rng):
    return {"order_id": f"ORD-{rng.randint(100000, 999999)}", "status": rng.choice(_WORDS),
            "items": [{"sku": f"SKU{rng.randint(1000, 9999)}", "qty": rng.randint(1, 5),
                       "price": round(rng.uniform(1, 500), 2)} for _ in range(rng.randint(1, 4))],
            "total": round(rng.uniform(10, 2000), 2), "currency": "USD",
            "customer": {"id": rng.randint(1, 99999), "vip": rng.random() < 0.2}}


def _event(rng):
    return {"event": rng.choice(["file.read", "file.write", "http.request", "db.query"]),
            "ts": 1_700_000_000 + rng.randint(0, 10**7),
            "duration_ms": round(rng.expovariate(0.01), 3),
            "path": f"/srv/app/{rng.choice(_WORDS)}/{rng.choice(_WORDS)}_{rng.randint(1, 99)}.py",
            "ok": rng.random() < 0.9,
            "error": None if rng.random() < 0.8 else rng.choice(
                ["timeout", "ENOENT: no such file", "permission denied"])}


def json_texts(indent):
    samples = []
    for seed, record in enumerate([_user, _order, _event]):
        rng = random.Random(seed)
        records = [record(rng) for _ in range(200)]
        separators = None if indent else (",", ":")
        samples.append(json.dumps(records, indent=indent, separators=separators)[:SIZE])
    return samples


def logs():
    rng = random.Random(11)

    def app():
        return (f"2024-05-{rng.randint(1, 28):02d} {rng.randint(0, 23):02d}:"
                f"{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d},{rng.randint(0, 999):03d} "
                f"{rng.choice(['INFO', 'DEBUG', 'WARNING', 'ERROR'])} [worker-{rng.randint(1, 16)}] "
                f"app.{rng.choice(_WORDS)}: request {rng.randint(1000, 99999)} took "
                f"{rng.randint(1, 5000)} ms status={rng.choice([200, 201, 404, 500])}")

    def access():
        address = ".".join(str(rng.randint(1, 255)) for _ in range(4))
        return (f'{address} - - [13/May/2024:{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:'
                f'{rng.randint(0, 59):02d} +0000] "GET /api/v1/{rng.choice(_WORDS)}/'
                f'{rng.randint(1, 99999)}?page={rng.randint(1, 50)} HTTP/1.1" '
                f'{rng.choice([200, 304, 404, 502])} {rng.randint(100, 90000)} "-" '
                f'"Mozilla/5.0 (X11; Linux x86_64)"')

    def kernel():
        return (f"May {rng.randint(1, 28):2d} {rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:"
                f"{rng.randint(0, 59):02d} host{rng.randint(1, 9)} kernel: "
                f"[{rng.uniform(0, 99999):12.6f}] eth0: link up, "
                f"{rng.choice([100, 1000, 10000])} Mbps, pid={rng.randint(1, 65535)} "
                f'uid={rng.randint(0, 1000)} comm="{rng.choice(_WORDS)}"')

    return ["\n".join(line() for _ in range(400))[:SIZE] for line in (app, access, kernel)]


def base64_texts():
    rng = random.Random(5)
    source = (STDLIB / "difflib.py").read_bytes()[:SIZE]
    packed = zlib.compress((STDLIB / "argparse.py").read_bytes()[:40_000])
    return [base64.b64encode(data).decode()[:SIZE]
            for data in (rng.randbytes(9000), source, packed)]


RUSSIAN = [
    "Вчера вечером мы с братом долго гуляли по набережной. Река была спокойной, над водой "
    "летали чайки, а на другом берегу зажигались огни старого города. Брат рассказывал о "
    "своей новой работе: он теперь отвечает за склад, где хранятся запасные части для "
    "сельскохозяйственной техники. Работы много, но коллектив хороший, и начальник не "
    "придирается по мелочам. Я слушал его и думал о том, как быстро летит время. Ещё недавно "
    "мы вместе ходили в школу, спорили из-за велосипеда и мечтали стать лётчиками.",
    "Чтобы установить программу, откройте терминал и выполните команду установки пакета. "
    "Если система сообщит, что у вас недостаточно прав, повторите команду от имени "
    "администратора. После установки проверьте версию: она должна совпадать с указанной на "
    "странице загрузки. Настройки хранятся в файле конфигурации в домашнем каталоге "
    "пользователя. Не забудьте указать адрес сервера и ключ доступа, иначе приложение не "
    "сможет подключиться к базе данных и завершит работу с ошибкой.",
    "По данным метеорологов, в ближайшие выходные в центральных регионах страны ожидается "
    "резкое похолодание. Ночью температура опустится до минус пятнадцати градусов, днём "
    "воздух прогреется лишь до минус пяти. Синоптики рекомендуют водителям заранее сменить "
    "шины и не выезжать на трассу без крайней необходимости. В городе коммунальные службы "
    "переведены на усиленный режим работы: на улицы выйдет дополнительная снегоуборочная "
    "техника, а дежурные бригады будут работать круглосуточно.",
]
CHINESE = [
    "昨天下午，我和朋友一起去了城市西边的公园。天气很好，阳光温暖，湖面上有几只白色的天鹅慢慢地"
    "游来游去。我们在湖边找了一张长椅坐下，一边喝茶，一边聊起了大学时候的生活。那时候我们住在同一"
    "间宿舍，每天晚上都会讨论各种各样的问题，从历史到哲学，从电影到音乐。虽然现在大家都很忙，很少"
    "有机会见面，但是每次聚在一起，还是觉得非常亲切，好像时间从来没有改变过什么。",
    "安装本软件之前，请先确认您的电脑已经连接到互联网，并且操作系统的版本符合最低要求。下载完成后，"
    "双击安装包，按照提示选择安装目录。如果系统提示权限不足，请使用管理员账户重新运行安装程序。安装"
    "结束后，打开配置文件，填写服务器地址和访问密钥，然后重新启动应用程序。遇到问题时，可以查看日志"
    "文件，或者联系我们的技术支持团队。",
    "据气象部门预报，本周末北方大部分地区将迎来明显降温，部分地区还会出现大风和降雪天气。专家提醒"
    "市民注意防寒保暖，外出时尽量乘坐公共交通工具，驾驶车辆要减速慢行，保持安全距离。学校和幼儿园"
    "也已经做好了准备，必要时将调整上课时间。与此同时，电力和供暖部门表示，将加强设备巡查，确保居民"
    "家中的暖气和用电不受影响。",
]
JAPANESE = [
    "昨日の夕方、久しぶりに駅前の小さな喫茶店に立ち寄りました。店内は昔と同じように静かで、古い"
    "レコードからジャズが流れていました。マスターは私の顔を覚えていてくれて、いつものコーヒーを黙って"
    "出してくれました。窓の外では雨が降り始め、傘を持っていない人たちが急ぎ足で通り過ぎていきます。"
    "私は本を開きましたが、結局ほとんど読まずに、ぼんやりと街の明かりを眺めて過ごしました。",
    "このアプリケーションをインストールするには、まず公式サイトから最新版のパッケージをダウンロード"
    "してください。ダウンロードが完了したら、ファイルをダブルクリックして、画面の指示に従ってインストール"
    "を進めます。管理者権限が必要な場合は、パスワードを入力してください。インストール後、設定ファイルに"
    "サーバーのアドレスとアクセスキーを記入し、アプリケーションを再起動すると、データベースへの接続が"
    "有効になります。",
    "気象庁によると、今週末は強い寒気の影響で、日本海側を中心に大雪となるおそれがあります。山沿いでは"
    "一日に五十センチ以上の積雪が予想されており、交通機関に大きな乱れが出る可能性があります。不要不急の"
    "外出はできるだけ控え、やむを得ず車で出かける場合は、冬用タイヤやチェーンを必ず装着してください。"
    "また、停電に備えて、懐中電灯や飲み水などを準備しておくことが大切です。",
]


def samples():
    """Each kind's name and its samples."""
    return {
        "English prose": prose(), "Python code": python(), "C code": c(),
        "unified diff": diff(), "compact JSON": json_texts(None), "indented JSON": json_texts(2),
        "log lines": logs(), "Russian": RUSSIAN, "Chinese": CHINESE, "Japanese": JAPANESE,
        "base64": base64_texts(),
    }
