#!/usr/bin/env python3
"""Writes the reader's golden input streams (*.hex) of this folder.

An implementation of S101 framing and BER of its own, kept apart from the codec under
test, so the vectors check the codec instead of repeating it. The *.expected files beside
them are written by hand. Run from anywhere: python3 make_vectors.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# --- BER -------------------------------------------------------------------------------

UNIV, APP, CTX = 0x00, 0x40, 0x80


def tag(cls, number, constructed=True):
    head = cls | (0x20 if constructed else 0)
    if number < 31:
        return bytes([head | number])
    groups = []
    while True:
        groups.insert(0, number & 0x7F)
        number >>= 7
        if not number:
            break
    return bytes([head | 0x1F] + [g | 0x80 for g in groups[:-1]] + [groups[-1]])


def length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, 'big')
    return bytes([0x80 | len(body)]) + body


def tlv(tag_bytes, content, indefinite=False):
    if indefinite:
        return tag_bytes + b'\x80' + content + b'\x00\x00'
    return tag_bytes + length(len(content)) + content


def integer(v):
    n = 1
    while not -(1 << (8 * n - 1)) <= v < (1 << (8 * n - 1)):
        n += 1
    return tlv(tag(UNIV, 2, False), v.to_bytes(n, 'big', signed=True))


def boolean(v):
    return tlv(tag(UNIV, 1, False), b'\xff' if v else b'\x00')


def utf8(s):
    return tlv(tag(UNIV, 12, False), s.encode('utf-8') if isinstance(s, str) else s)


def octets(b):
    return tlv(tag(UNIV, 4, False), b)


def null():
    return tlv(tag(UNIV, 5, False), b'')


def real_raw(content):
    return tlv(tag(UNIV, 9, False), content)


def real(v):
    """Base 2 binary form with a one-byte exponent (enough for the values used here)."""
    if v == 0:
        return real_raw(b'')
    sign = 0x40 if v < 0 else 0
    m, e = abs(v), 0
    while m != int(m):
        m *= 2
        e -= 1
    m = int(m)
    while m % 2 == 0:
        m //= 2
        e += 1
    body = m.to_bytes((m.bit_length() + 7) // 8, 'big')
    return real_raw(bytes([0x80 | sign]) + struct.pack('b', e) + body)


def reloid(numbers):
    out = b''
    for n in numbers:
        groups = []
        while True:
            groups.insert(0, n & 0x7F)
            n >>= 7
            if not n:
                break
        out += bytes([g | 0x80 for g in groups[:-1]] + [groups[-1]])
    return tlv(tag(UNIV, 13, False), out)


def field(n, value, indefinite=False):
    return tlv(tag(CTX, n), value, indefinite)


def container(outer, inner, items, indefinite=True):
    return tlv(outer, tlv(inner, b''.join(items), indefinite), indefinite)


ROOT, PARAMETER, COMMAND, NODE, COLLECTION = 0, 1, 2, 3, 4
STREAM_COLLECTION, STRING_INT_PAIR, STRING_INT_COLLECTION = 6, 7, 8
QPARAMETER, QNODE, ROOT_COLLECTION, STREAM_DESCRIPTION = 9, 10, 11, 12
MATRIX, TARGET, QMATRIX, FUNCTION, QFUNCTION = 13, 14, 17, 19, 20
INVOCATION_RESULT, TEMPLATE, QTEMPLATE = 23, 24, 25


def element(kind, items, indefinite=True):
    return container(tag(CTX, 0), tag(APP, kind), items, indefinite)


def contents(items, indefinite=True):
    return container(tag(CTX, 1), tag(UNIV, 17), items, indefinite)


def children(items, indefinite=True):
    return container(tag(CTX, 2), tag(APP, COLLECTION), items, indefinite)


def root(items, indefinite=True):
    return container(tag(APP, ROOT), tag(APP, ROOT_COLLECTION), items, indefinite)


def number(n):
    return field(0, integer(n))


def path(numbers):
    return field(0, reloid(numbers))


def qparameter(numbers, fields, indefinite=True):
    return element(QPARAMETER, [path(numbers), contents(fields, indefinite)], indefinite)


def value_field(v):
    return field(2, v)


# --- S101 ------------------------------------------------------------------------------

def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc


def frame_bytes(body, crc_delta=0):
    check = (~crc16(body) & 0xFFFF) ^ crc_delta
    body = body + bytes([check & 0xFF, check >> 8])
    out = bytearray([0xFE])
    for b in body:
        if b >= 0xF8:
            out += bytes([0xFD, b ^ 0x20])
        else:
            out.append(b)
    out.append(0xFF)
    return bytes(out)


def package(ber, flags=0xC0, slot=0):
    return bytes([slot, 0x0E, 0x00, 0x01, flags, 0x01, 0x02, 0x32, 0x02]) + ber


def frame(ber, flags=0xC0, **kw):
    return frame_bytes(package(ber, flags), **kw)


def message(ber, cuts):
    """One message cut into packages at the given payload offsets."""
    pieces = []
    bounds = [0] + cuts + [len(ber)]
    for i in range(len(bounds) - 1):
        flags = (0x80 if i == 0 else 0) | (0x40 if i == len(bounds) - 2 else 0)
        pieces.append(frame(ber[bounds[i]:bounds[i + 1]], flags))
    return pieces


def non_escaping(pkg):
    n = len(pkg)
    return bytes([0xF8, 0x02]) + n.to_bytes(2, 'big') + pkg


# --- output ----------------------------------------------------------------------------

def write(name, parts):
    """parts: list of (comment, bytes)."""
    with open(os.path.join(HERE, name + '.hex'), 'w') as f:
        f.write('# Generated by make_vectors.py: the bytes a provider sends, as received.\n')
        for comment, data in parts:
            f.write('# ' + comment + '\n')
            for i in range(0, len(data), 16):
                f.write(' '.join('%02X' % b for b in data[i:i + 16]) + '\n')


def full_contents_fields():
    return [
        field(0, utf8('gpo-status')),
        field(1, utf8('Status of output 2')),
        field(2, integer(1)),
        field(3, integer(0)),
        field(4, integer(255)),
        field(5, integer(3)),
        field(6, utf8('%d')),                  # format: skipped
        field(7, utf8('off\nhelp')),           # enumeration: skipped
        field(8, integer(1)),
        field(9, boolean(True)),
        field(10, utf8('$')),                  # formula: skipped
        field(11, integer(1)),
        field(12, integer(0)),
        field(13, integer(1)),
        field(14, integer(7)),
        container(tag(CTX, 15), tag(APP, STRING_INT_COLLECTION), [       # enumMap: skipped
            container(tag(CTX, 0), tag(APP, STRING_INT_PAIR),
                      [field(0, utf8('off')), field(1, integer(0))], False)], False),
        container(tag(CTX, 16), tag(APP, STREAM_DESCRIPTION),
                  [field(0, integer(2)), field(1, integer(4))], False),
        field(17, utf8('de.vantrel.gpio')),
        field(18, reloid([1, 200, 3])),
        field(40, integer(9)),                 # unknown to this DTD version: skipped
    ]


def main():
    write('qualified_parameter_full', [
        ('QualifiedParameter 1.4.1.3.2 with every contents field, definite lengths',
         frame(root([qparameter([1, 4, 1, 3, 2], full_contents_fields(), False)], False))),
        ('The same, indefinite lengths',
         frame(root([qparameter([1, 4, 1, 3, 2], full_contents_fields(), True)], True))),
    ])

    tree = root([element(NODE, [
        number(1),
        contents([field(0, utf8('device'))]),
        children([element(NODE, [
            number(4),
            children([
                element(PARAMETER, [number(7), contents([field(0, utf8('gain')),
                                                         value_field(integer(5))])]),
                element(PARAMETER, [number(8)]),
                element(PARAMETER, [number(9), contents([value_field(boolean(False))]),
                                    children([element(PARAMETER, [
                                        number(1), contents([value_field(utf8('x'))])])])]),
            ])])])])])
    write('nested_node_parameter', [
        ('Node 1 > Node 4 > Parameters 7 (contents), 8 (none), 9 (contents and child 1)',
         frame(tree)),
    ])

    def gpio_port(p):
        return element(NODE, [number(p), children([
            element(PARAMETER, [number(1), contents([field(0, utf8('type')),
                                                     value_field(integer(p % 3))])]),
            element(PARAMETER, [number(2), contents([field(0, utf8('override')),
                                                     value_field(boolean(p == 2))])], False),
            element(PARAMETER, [number(3), contents([field(0, utf8('status')),
                                                     value_field(boolean(p != 2))], False)]),
        ])])
    answer = root([element(QNODE, [path([1, 4, 1]), children([gpio_port(1), gpio_port(2)])])])
    third = len(answer) // 3
    write('gpio_answer_three_packages', [
        ('A GetDirectory answer for 1.4.1 cut mid-TLV into packages with flags 0x80, 0x00, 0x40',
         b''.join(message(answer, [third, 2 * third + 1]))),
    ])

    skipped = root([
        element(COMMAND, [number(32)]),
        element(MATRIX, [number(2), contents([field(0, utf8('matrix'))]),
                         children([element(PARAMETER, [number(5), contents([
                             value_field(integer(50))])])]),
                         container(tag(CTX, 3), tag(UNIV, 16), [
                             container(tag(CTX, 0), tag(APP, TARGET), [number(0)])])]),
        element(FUNCTION, [number(3), children([element(PARAMETER, [number(1), contents([
            value_field(integer(31))])])])]),
        element(TEMPLATE, [number(4), container(tag(CTX, 1), tag(APP, PARAMETER), [
            number(9), contents([value_field(integer(99))])])]),
        element(QMATRIX, [path([6, 1]), children([element(PARAMETER, [number(2), contents([
            value_field(integer(612))])])])]),
        element(QFUNCTION, [path([6, 2]), contents([field(0, utf8('fn'))])]),
        element(QTEMPLATE, [path([6, 3])]),
        element(NODE, [number(7), contents([field(0, utf8('n')), field(3, boolean(True))])]),
    ])
    streams = container(tag(APP, ROOT), tag(APP, STREAM_COLLECTION), [
        container(tag(CTX, 0), tag(APP, 5), [field(0, integer(7)), field(1, integer(3))])])
    result = container(tag(APP, ROOT), tag(APP, INVOCATION_RESULT), [field(0, integer(1))])
    write('skipped_elements', [
        ('Commands, matrices, functions, templates, streams and invocation results', frame(skipped)),
        ('A Root holding a StreamCollection', frame(streams)),
        ('A Root holding an InvocationResult', frame(result)),
    ])

    values = [
        [value_field(integer(-2)), field(3, integer(-100)), field(4, integer(100))],
        [value_field(integer(-(1 << 63))), field(12, integer((1 << 63) - 1))],
        [value_field(integer(0x1234567890))],
        [value_field(real(1.5)), field(3, real(-0.25)), field(4, real(1024.0))],
        [value_field(real_raw(b'\xA0\x01\x03')), field(3, real_raw(b'\x90\xFF\x05'))],
        [value_field(real_raw(b'\x40')), field(3, real_raw(b'\x41')), field(4, null())],
        [value_field(real(0.0)), field(12, real_raw(b'\x43'))],
        [value_field(utf8('Grüße, 東京')), field(12, utf8(''))],
        [value_field(octets(bytes([0x00, 0xFE, 0xFF, 0x7F])))],
        [value_field(null())],
        [value_field(boolean(False)), field(12, tlv(tag(UNIV, 1, False), b'\x01'))],
    ]
    write('value_types', [
        ('One QualifiedParameter per case under 2.1.<n>',
         frame(root([qparameter([2, 1, i + 1], v) for i, v in enumerate(values)]))),
    ])

    write('non_escaping_frame', [
        ('A non-escaping frame (0xF8, 2 length bytes) holding a value 0xFF that is not escaped',
         non_escaping(package(root([qparameter([1, 4, 1, 5, 3], [value_field(boolean(True))])])))),
        ('Then an escaped frame', frame(root([qparameter([1, 4, 1, 5, 2],
                                                         [value_field(boolean(False))])]))),
    ])

    write('empty_children', [
        ('QualifiedNode with empty children, indefinite and definite, then parameters',
         frame(root([
             element(QNODE, [path([1, 4]), children([])]),
             element(QNODE, [path([1, 5]), children([], False)]),
             element(NODE, [number(1), children([element(PARAMETER, [
                 number(2), contents([value_field(integer(12))]), children([], False)])])]),
         ]))),
    ])

    intact = frame(root([qparameter([1, 4, 1, 9, 3], [value_field(boolean(True))])]))
    other = frame(root([qparameter([1, 4, 1, 8, 3], [value_field(boolean(True))])]))
    invalid = bytearray(other)
    invalid[20] = 0xF9
    write('fault_frames', [
        ('Wrong CRC: dropped silently', frame(root([qparameter([1, 1], [value_field(integer(1))])]),
                                              crc_delta=0x0100)),
        ('A byte 0xF9 inside: dropped', bytes(invalid)),
        ('Garbage outside frames, then a frame cut off by 0xFE that restarts an intact frame',
         b'\x01\x02\x55' + other[:25] + intact),
        ('A keep-alive request and a response: ignored', frame_bytes(bytes([0, 0x0E, 1, 1]))
         + frame_bytes(bytes([0, 0x0E, 2, 1]))),
        ('A package of another DTD and one of too few bytes: ignored',
         frame_bytes(bytes([0, 0x0E, 0, 1, 0xC0, 0x02, 0]) + root([])) + frame_bytes(b'\x00\x0e')),
        ('An EOF with nothing stored, then the intact frame again', b'\xfe\xff' + intact),
    ])

    def good(n):
        return qparameter([3, n], [value_field(integer(n))])
    ber_faults = [
        ('102 zero outer length, then the next element', root([field(5, b''), good(1)])),
        ('103 seven identifier bytes on a skipped element',
         root([tlv(tag(CTX, 1 << 36), integer(1)), good(2)])),
        ('105 terminator inside a definite container', root([
            element(QPARAMETER, [path([3, 3]), contents([b'\x00\x00', value_field(integer(3))],
                                                        False)], False)])),
        ('106 a value longer than its definite field', root([
            element(QPARAMETER, [path([3, 4]), contents([
                tag(CTX, 2) + b'\x03' + tag(UNIV, 2, False) + b'\x05\x01',
                value_field(integer(4))])]), good(5)])),
        ('107 universal outer tag, 108 primitive outer tag, then the next element',
         root([integer(5), tlv(tag(CTX, 3, False), b'\x01\x02'), good(6)])),
        ('109 universal type 0 and 31, 110 context inner tag, then values', root([
            element(QPARAMETER, [path([3, 7]), contents([
                field(2, tlv(tag(UNIV, 0, True), b'')),
                field(2, tlv(tag(UNIV, 31, False), b'\x01')),
                field(2, tlv(tag(CTX, 4), integer(1))),
                value_field(integer(7))])])])),
        ('112 a terminator at top level', root([good(8)]) +
         b'\x00\x00'),
        ('106 a message that ends inside a container', root([good(9)])[:-6]),
        ('104 five length bytes: the rest of the message is dropped',
         root([good(10), tag(CTX, 0) + b'\x85\x00\x00\x00\x00\x10', good(11)])),
        ('The next message is read again', root([good(12)])),
    ]
    parts = []
    for comment, ber in ber_faults:
        parts.append((comment, frame(ber)))
    write('fault_ber', parts)
    # 101: the last terminator of a Root turned into 00 05.
    bad = bytearray(package(root([good(13)])))
    bad[-1] = 0x05
    with open(os.path.join(HERE, 'fault_ber.hex'), 'a') as f:
        f.write('# 101: the Root closed by 00 05\n')
        data = frame_bytes(bytes(bad))
        for i in range(0, len(data), 16):
            f.write(' '.join('%02X' % b for b in data[i:i + 16]) + '\n')

    glow_faults = [
        ('504 QualifiedParameter below a Node, 502 QualifiedNode below a QualifiedNode',
         root([element(NODE, [number(4), children([qparameter([4, 1], [value_field(integer(1))])])]),
               element(QNODE, [path([5]), children([element(QNODE, [path([5, 1]), children([
                   element(PARAMETER, [number(1), contents([value_field(integer(2))])])])])])]),
               good(1)])),
        ('509 QualifiedMatrix below a Node, 503 and 501 empty paths', root([
            element(NODE, [number(6), children([element(QMATRIX, [path([6, 1])])])]),
            qparameter([], [value_field(integer(3))]),
            element(QNODE, [path([]), children([element(PARAMETER, [
                number(1), contents([value_field(integer(4))])])])]),
            good(2)])),
        ('511 empty and NULL identifiers, 512 a leading digit and a slash', root([
            qparameter([7, 1], [field(0, utf8('')), value_field(integer(1))]),
            qparameter([7, 2], [field(0, null()), value_field(integer(2))]),
            qparameter([7, 3], [field(0, utf8('3rd')), value_field(integer(3))]),
            qparameter([7, 4], [field(0, utf8('a/b')), value_field(integer(4))])])),
        ('507 a BIT STRING value, 508 a string maximum', root([
            qparameter([8, 1], [value_field(tlv(tag(UNIV, 3, False), b'\x00\x01')),
                                field(4, utf8('10')), field(0, utf8('kept'))])])),
        ('Encoding errors: 201 Boolean, 201 Null, 202 Integer, 204 Real, 205 String, 206 Octets',
         root([qparameter([9, 1], [
             value_field(tlv(tag(UNIV, 1, False), b'')),
             field(3, tlv(tag(UNIV, 5, False), b'\x00')),
             field(5, tlv(tag(UNIV, 2, False), bytes(9))),
             field(4, real_raw(b'\x03\x31')),
             field(1, utf8(b'\xc3\x28')),
             field(12, tlv(tag(UNIV, 4, True), octets(b'\x01'))),
         ])])),
        ('203 a number above 32 bits, 207 a path number above 31 bits: nothing below is placed',
         root([element(NODE, [field(0, integer(1 << 40)), children([element(PARAMETER, [
             number(1), contents([value_field(integer(5))])])])]),
               qparameter([1 << 31], [value_field(integer(6))]), good(3)])),
    ]
    write('fault_glow', [(c, frame(b)) for c, b in glow_faults])

    write('set_parameter_false_4_1_1_10_3', [
        ('What the writer sends for false to 4.1.1.10.3 (and the reader reads back)',
         frame(root([qparameter([4, 1, 1, 10, 3], [value_field(boolean(False))])]))),
    ])
    write('get_directory_many_numbers', [
        ('GetDirectory for 1.200.16383.16384.2147483647, wrapped in a QualifiedNode',
         frame(root([element(QNODE, [path([1, 200, 16383, 16384, 2147483647]), children([
             element(COMMAND, [number(32)])])])]))),
    ])


if __name__ == '__main__':
    main()
