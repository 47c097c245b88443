#!/usr/bin/env python3
"""Writes the seed corpora of xml_desc_fuzz, xml_index_fuzz and xml_channel_fuzz
into fuzz/corpus/xml_desc/, fuzz/corpus/xml_index/ and fuzz/corpus/xml_channel/.

xml_desc: a description file. xml_index: an "xmlinfo.ini" whose entries name
the harness's files ('$' stands for its folder: "$XML/main.xml",
"$XML/bad.xml", extension ids 00000001000000AA and 00000002000000BB).
xml_channel: one byte (bit 0: the algorithm-file channel; the rest: how the
stream is cut), then what the camera sends.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

DESCRIPTION = b"""<?xml version="1.0" encoding="GB2312"?>
<Device Model="x" LayerId="4">
  <Comment Comment="Ignored"><SubCommand NodeCode="0x99"><ParaType>PTBool</ParaType></SubCommand></Comment>
  <Item Name="Root"><Text>Params</Text></Item>
  <Section Comment="Params">
    <Category Key="Video">
      <pFeature>shutter</pFeature>
      <SubCommand NodeCode="0x00010203" Name="Shutter">
        <ParaType>PTUi32</ParaType><ParamLen>4</ParamLen><ChanCount>2</ChanCount><ObjCount>259</ObjCount>
      </SubCommand>
      <Group><SubCommand Name="Deep" NodeCode="10203"><ParaType>PTTimems</ParaType></SubCommand></Group>
    </Category>
    <Category><SubCommand NodeCode="0x66"><ParaType>PTStr</ParaType></SubCommand></Category>
  </Section>
</Device>
"""

desc = {
    "description": DESCRIPTION,
    "utf8_bom_and_declaration": b"\xef\xbb\xbf<?xml version='1.0' encoding='UTF-8'?>\r\n<R LayerId='7'>"
                                b"<I Name='Root'><T>\xe5\x8f\x82\xe6\x95\xb0</T></I>"
                                b"<S Comment='\xe5\x8f\x82\xe6\x95\xb0'><Category K='c'><pFeature>f\xe2\x80\x94</pFeature>"
                                b"<SubCommand NodeCode='0x1' Name='\xe5\x90\x8d'><ParaType>PTStr</ParaType></SubCommand>"
                                b"</Category></S></R>",
    "skipped_markup": b"<!DOCTYPE d [<!ELEMENT a ANY>]><R a='x>y' b=\"</R>\"><!-- <a><b> --><![CDATA[<c><d>]]>"
                      b"<?pi <e> ?>&#x3C;&amp;<f/><g></g>&#x<h><i>x41;</R>",
    "unquoted_and_errors": b"<R a=1 b=2><x c=3/><y d='1' d='2'><z/></y></R>",
    "nesting_at_the_bound": b"<a>" * 512 + b"</a>" * 512,
    "nesting_past_the_bound": b"<a>" * 513 + b"</a>" * 513,
    "many_top_level": b"<a/><b><c/></b>text<d><e><f>x</f></e></d>",
    # At most 256 attributes an element: at the bound, one past it in a later
    # element, and one past it before a repeated name.
    "attributes_at_the_bound": b"<R" + b"".join(b" a%d=''" % i for i in range(256)) + b"><c/></R>",
    "attributes_past_the_bound": b"<R><x a='1'/><y" + b"".join(b" a%d=''" % i for i in range(257)) + b"/></R>",
    "attributes_past_the_bound_then_repeated": b"<R" + b"".join(b" a%d=1" % i for i in range(257)) + b" a0=2/>",
}

index = {
    "main_and_extensions": b"[INFO]\r\ncount=3\r\n[info1]\r\ninfo=$XML/bad.xml;V1.ext\r\n"
                           b"[info2]\r\ninfo=$XML/main.xml; 00000001000000AA.00000002000000BB.00000003000000CC.ext \r\n"
                           b"[info3]\r\ninfo=;nothing\r\n",
    "huge_count": b"[INFO]\ncount=2147483647\n[info1]\ninfo=$XML/main.xml;V1.ext\n[info9]\ninfo=$XML/main.xml;V9\n",
    "odd_entries": b"[info]\nCOUNT = 4\n[INFO1]\ninfo=\"$XML/main.xml;Q.ext\"\n[info2]\ninfo=$XML/main.xml\n"
                   b"[info3]\nx=1\n[info4]\ninfo = $XML/missing.xml;M.ext\n[info1]\ninfo=$XML/main.xml;dup\n",
    "no_info_section": b"[other]\nx=1\n",
    "count_zero": b"[INFO]\ncount=0\n[info1]\ninfo=$XML/main.xml;V1.ext\n",
    "ids_in_any_case_and_pieces_that_are_none": b"[INFO]\ncount=2\n[info1]\ninfo=$XML/main.xml;"
                                                b"00000001000000aa.00000002000000Bb.0000000/000000AA.+0000001000000AA..ext\n"
                                                b"[info2]\ninfo=$XML/main.xml;00000002000000bb\n",
}

HEAD, TAIL, VERSION = 0x0FF055AA, 0x550FF0AA, 0x00010000


def item(code, data=b"", status=0):
    return struct.pack("<IIBBHII", 0xAA55A55A, code, 0, 0, 0, status, len(data)) + data


def frame(*items):
    body = b"".join(items)
    return struct.pack("<IIIHHIIIII", HEAD, VERSION, 36 + len(body) + 4, 2, 8, 0, 0, 0x8010, 0, len(items)) \
        + body + struct.pack("<I", TAIL)


def file_info(code, name, size, blocks):
    return frame(item(code, name.ljust(64, b"\0") + struct.pack("<IIII", size, 0, blocks, 0)))


def blocks(content, size):
    out = b""
    for i in range(0, max(1, (len(content) + size - 1) // size)):
        part = content[i * size:(i + 1) * size]
        out += frame(item(0x10104, struct.pack("<IIII", i, 0, len(part), 0) + part))
    return out


def transfer(code, name, content, size):
    n = (len(content) + size - 1) // size
    return file_info(code, name, len(content), n) + blocks(content, size)


def version(text):
    return frame(item(0x10101, text))


MAIN = DESCRIPTION
EXT = b"<E LayerId='9'><I Name='Root'><T>P</T></I><S Comment='P'><SubCommand NodeCode='0x10'>" \
      b"<ParaType>PTUi32</ParaType></SubCommand></S></E>"

channel = {
    "main_and_one_extension": b"\x00" + version(b" 0123456789ABCDEF ") + transfer(0x10103, b"dev.xml", MAIN, 100)
                              + transfer(0x10103, b"ext.xml", EXT, 40) + frame(item(0x10105)),
    "two_extensions_cut": b"\x06" + version(b"00000001000000AA.00000002000000BB")
                          + transfer(0x10103, b"dev", MAIN, 64) + transfer(0x10103, b"a", EXT, 64)
                          + transfer(0x10103, b"b", EXT, 1000),
    "cached_version_again": b"\x00" + version(b"0123456789ABCDEF") + transfer(0x10103, b"m.xml", MAIN, 500)
                            + transfer(0x10103, b"e", EXT, 500) + version(b"0123456789ABCDEF")
                            + version(b"0123456789ABCDEF.0123456789ABCDEF.12345678901234567"),
    "algorithm_file": b"\x01" + transfer(0x10106, b"plate.bin", bytes(range(256)) * 12, 256),
    "stalls": b"\x00" + version(b"V1") + file_info(0x10103, b"z", 0, 3) + blocks(b"abc", 1)
              + frame(item(0x10103, b"short")) + file_info(0x10103, b"big", 10, 5) + blocks(b"x" * 40, 8)
              + frame(item(0x10104, struct.pack("<IIII", 7, 0, 3, 0) + b"abc"))
              + frame(item(0x10104, struct.pack("<IIII", 0, 0, 0xFFFFFFFF, 0)), item(0x10101, b"x", status=1)),
    "ids_in_any_case": b"\x00" + version(b"0123456789abcdef.0123456789AbCdEf") + transfer(0x10103, b"m.xml", MAIN, 200)
                       + transfer(0x10103, b"e", EXT, 50),
    "pieces_that_name_no_file": b"\x04" + version(b"0123456789ABCDEF.ab/def0123456789.+123456789ABCDEF..x")
                                + transfer(0x10103, b"m.xml", MAIN, 200) + transfer(0x10103, b"e", EXT, 50),
    "more_files_than_a_call_lists": b"\x00" + version(b".".join(b"%08X%08X" % (i, i) for i in range(1, 31)))
                                    + transfer(0x10103, b"m.xml", MAIN, 200) + transfer(0x10103, b"e", EXT, 50),
    # A head whose body never comes, and a frame whose tail is wrong, before
    # and around a whole transfer: the transfer is still taken.
    "a_head_with_no_body_first": b"\x00" + struct.pack("<III", HEAD, VERSION, 3 << 20) + version(b"0123456789ABCDEF")
                                 + transfer(0x10103, b"m.xml", MAIN, 200),
    # Heads one inside another, up to the channel's 64 MiB bound, none with
    # its body: all are dropped and the transfer after them is taken.
    "nested_heads_first": b"\x0a" + struct.pack("<III", HEAD, VERSION, 3 << 20) * 100
                          + struct.pack("<III", HEAD, VERSION, 64 << 20) * 100 + version(b"0123456789ABCDEF")
                          + transfer(0x10103, b"m.xml", MAIN, 200) + transfer(0x10103, b"e", EXT, 50),
    "a_wrong_tail_around_a_transfer": b"\x08" + frame(item(0x10104, version(b"0123456789ABCDEF")
                                                             + transfer(0x10103, b"m.xml", MAIN, 300)))[:-4]
                                      + struct.pack("<I", TAIL ^ 1) + frame(item(0x10105)),
    # Replies that nobody asked for, one per request: file information before
    # the version, many in one frame each announcing the largest file, a
    # version on the algorithm channel, and a second version.
    "file_information_not_asked_for": b"\x00" + file_info(0x10103, b"m.xml", 100, 1) + version(b"V1")
                                      + frame(*[item(0x10103, b"m".ljust(64, b"\0")
                                                     + struct.pack("<IIII", 64 << 20, 0, 1000, 0))] * 300)
                                      + blocks(MAIN, 100),
    "a_version_on_the_algorithm_channel": b"\x01" + version(b".".join(b"%08X%08X" % (i, i) for i in range(1, 32)))
                                          + transfer(0x10106, b"plate.bin", b"abc" * 100, 64) + version(b"V2"),
    "two_versions_in_one_frame": b"\x00" + frame(item(0x10101, b"V1"), item(0x10101, b"0123456789ABCDEF"))
                                 + transfer(0x10103, b"m.xml", MAIN, 200),
    # Answers that ride in the frame of the answer before them came before
    # their request: passed over, the transfer after them is taken.
    "answers_in_the_versions_frame": b"\x00" + frame(item(0x10101, b"V1"),
                                                     item(0x10103, b"s.xml".ljust(64, b"\0")
                                                          + struct.pack("<IIII", 3, 0, 1, 0)),
                                                     item(0x10104, struct.pack("<IIII", 0, 0, 3, 0) + b"abc"))
                                     + transfer(0x10103, b"m.xml", MAIN, 200),
    "a_description_past_the_bound": b"\x00" + version(b"0123456789ABCDEF")
                                    + transfer(0x10103, b"m.xml", b"<R" + b"".join(b" a%d=''" % i for i in range(257))
                                               + b"/>", 500) + transfer(0x10103, b"e", EXT, 50),
    "names_that_try_to_leave": b"\x00" + version(b"../../etc/passw") + transfer(0x10103, b"../../out.xml", MAIN, 300)
                               + transfer(0x10103, b"..\\..\\x.xml.xml", MAIN, 300),
}

for folder, seeds in (("xml_desc", desc), ("xml_index", index), ("xml_channel", channel)):
    out = os.path.join(HERE, "corpus", folder)
    os.makedirs(out, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
