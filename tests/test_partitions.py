import builtins
import json
import random

import pytest

from vorda._vorda import Partitions, asset, partitions


def values_json(p):
    """The stored values as the metadata view writes them."""
    return asset(partitions={"d": p})(len).__vorda_metadata__["partitions"]["d"]["values_json"]


def invalid(values):
    with pytest.raises(ValueError) as info:
        partitions(values)
    return str(info.value)


class TestObject:
    def test_repr_counts_values(self):
        assert repr(partitions([])) == "Partitions(0 values)"
        assert repr(partitions(["a"])) == "Partitions(1 values)"
        p = partitions(["a", "a", "b"])
        assert repr(p) == str(p) == "Partitions(3 values)"

    def test_keyword_form(self):
        assert values_json(partitions(values=["x"])) == values_json(partitions(["x"])) == '["x"]'

    def test_identity_semantics_and_no_attributes(self):
        a, b = partitions([1]), partitions([1])
        assert a != b and a == a
        assert hash(a) != hash(b)
        with pytest.raises(AttributeError):
            a.values = [2]
        with pytest.raises(TypeError, match="^No constructor defined for Partitions$"):
            Partitions()
        with pytest.raises(TypeError):

            class Sub(Partitions):
                pass

    def test_values_are_a_copy(self):
        source = [{"a": [1]}]
        p = partitions(source)
        source[0]["a"].append(2)
        source.append("late")
        assert values_json(p) == '[{"a":[1]}]'


class TestConversion:
    def test_typical_elements(self):
        p = partitions(["AAPL", "Zürich", 3, -3, 2**64, 1.5, True, False, None, (1, 2), [1, 2], {"a": 1}, {1: "x"}])
        assert values_json(p) == (
            '["AAPL","Zürich",3,-3,1.8446744073709552e+19,1.5,true,false,null,[1,2],[1,2],{"a":1},{"1":"x"}]'
        )

    def test_later_duplicate_key_wins_and_keys_sort(self):
        assert values_json(partitions([{1: "a", "1": "b"}])) == '[{"1":"b"}]'
        assert values_json(partitions([{"b": [], "a": {}}])) == '[{"a":{},"b":[]}]'

    def test_floats_keep_their_exact_value(self):
        rng = random.Random(7)
        floats = [rng.random() * 1000 for _ in range(2000)] + [9.007413773120273, 1e-23, 5e-324, 1.7976931348623157e308]
        stored = json.loads(values_json(partitions(floats)))
        assert stored == floats

    def test_strings_with_escapes_and_controls(self):
        text = 'a"\\/\t\x00\x1f\u00e9\U0001f600'
        assert values_json(partitions([text])) == json.dumps([text], ensure_ascii=False, separators=(",", ":"))
        assert json.loads(values_json(partitions([text]))) == [text]

    def test_nesting_limit(self):
        def nest(depth):
            value = 0
            for _ in range(depth):
                value = [value]
            return value

        assert values_json(partitions([nest(127)])).count("[") == 128
        assert invalid([nest(128)]) == "invalid partition value: recursion limit exceeded at line 1 column 128"

    @pytest.mark.parametrize(
        "element, message",
        [
            (float("nan"), "expected value at line 1 column 1"),
            ([1, float("inf")], "expected value at line 1 column 5"),
            (float("-inf"), "invalid number at line 1 column 2"),
            ("\ud800", "unexpected end of hex escape at line 1 column 8"),
            ("\udc00", "lone leading surrogate in hex escape at line 1 column 7"),
            (10**309, "number out of range at line 1 column 310"),
            ([-(10**400)], "number out of range at line 1 column 403"),
        ],
    )
    def test_values_the_reader_refuses(self, element, message):
        assert invalid(["fine", element]) == "invalid partition value: " + message

    def test_largest_integers_that_fit_a_double(self):
        big = int(1.7976931348623157e308)
        assert len(str(big)) == 309
        assert values_json(partitions([big])) == "[1.7976931348623157e+308]"


class TestCallingJson:
    def test_json_is_imported_even_for_an_empty_list(self, monkeypatch):
        imported = []
        real_import = builtins.__import__

        def spy(name, *args, **kwargs):
            imported.append(name)
            return real_import(name, *args, **kwargs)

        monkeypatch.setattr(builtins, "__import__", spy)
        partitions([])
        assert imported == ["json"]

    def test_dumps_is_looked_up_per_element(self, monkeypatch):
        seen = []

        def dumps(obj):
            seen.append(obj)
            return json.JSONEncoder().encode(obj)

        monkeypatch.setattr(json, "dumps", dumps)
        partitions(["a", 2])
        assert seen == ["a", 2]

    def test_dumps_errors_pass_through(self):
        with pytest.raises(TypeError, match="not JSON serializable"):
            partitions([1, object()])
        circular = []
        circular.append(circular)
        with pytest.raises(ValueError, match="Circular reference"):
            partitions([circular])

    def test_dumps_returning_non_str(self, monkeypatch):
        monkeypatch.setattr(json, "dumps", lambda obj: b"1")
        with pytest.raises(TypeError) as info:
            partitions([1])
        assert str(info.value) == "'bytes' object cannot be converted to 'PyString'"

    def test_exception_object_is_unchanged(self, monkeypatch):
        boom = KeyError("boom")

        def dumps(obj):
            raise boom

        monkeypatch.setattr(json, "dumps", dumps)
        with pytest.raises(KeyError) as info:
            partitions([1])
        assert info.value is boom


class TestHostileLists:
    def test_list_subclass_is_walked_by_storage(self):
        class Odd(list):
            def __iter__(self):
                return iter(["iter"])

            def __getitem__(self, index):
                return "getitem"

            def __len__(self):
                return 99

        assert values_json(partitions(Odd(["a", "b"]))) == '["a","b"]'

    @pytest.mark.parametrize(
        "mutate, expected",
        [
            (lambda values: values.append("new"), '["a","b","c"]'),
            (lambda values: values.pop(), '["a","b"]'),
            (lambda values: values.clear(), '["a"]'),
            (lambda values: values.__setitem__(slice(None), range(100)), '["a",1,2]'),
        ],
    )
    def test_list_changed_while_dumps_runs(self, monkeypatch, mutate, expected):
        values = ["a", "b", "c"]
        real = json.dumps

        def dumps(obj):
            mutate(values)
            return real(obj)

        monkeypatch.setattr(json, "dumps", dumps)
        p = partitions(values)
        monkeypatch.setattr(json, "dumps", real)
        assert values_json(p) == expected

    def test_element_dropped_by_user_code_stays_alive(self, monkeypatch):
        class Element:
            pass

        values = [Element(), Element()]
        real = json.dumps

        def dumps(obj):
            values.clear()
            return real(str(type(obj).__name__))

        monkeypatch.setattr(json, "dumps", dumps)
        assert repr(partitions(values)) == "Partitions(1 values)"
