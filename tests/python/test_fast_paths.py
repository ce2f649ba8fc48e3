"""The per-call shortcuts give what the full rules give: keywords matched by
identity or by their bytes, integers read in place or through __float__,
the displacement power shared between vessels and threads."""

import sys
import threading

import pytest

from veltrum import NavCalc


def vessel(displacement=10000, length=120, breadth=20, draught=7):
    v = NavCalc(displacement, length, breadth, draught)
    v.setup(12.0, True)
    return v


def built(text):
    # the same text as a new, not interned, str
    return "".join(list(text))


# --- keywords ------------------------------------------------------------------


@pytest.mark.parametrize("spelling", ["written", "built", "subclass"])
def test_keywords_bind_alike_whatever_the_object(spelling):
    class Name(str):
        pass

    make = {"written": sys.intern, "built": built, "subclass": Name}[spelling]
    v = vessel()
    names = ["wind_beta", "wind_scale", "wave_height", "wave_beta"]
    for _ in range(3):  # before and after the written names have been seen
        kwargs = {make(n): value for n, value in zip(names, [45.0, 4, 2.0, 45.0])}
        assert v.compute(**kwargs) == -0.56
        assert v.compute(wind_beta=45.0, wind_scale=4, wave_height=2.0, wave_beta=45.0) == -0.56
        assert v.compute(wave_beta=45.0, wave_height=2.0, wind_scale=4, wind_beta=45.0) == -0.56


@pytest.mark.parametrize("make", [sys.intern, built])
def test_duplicate_keyword_message_is_the_same_either_way(make):
    v = vessel()
    for _ in range(2):  # the second time, the written names are known objects
        with pytest.raises(TypeError) as written:
            v.setup(10, speed_kts=12)
        with pytest.raises(TypeError) as given:
            v.setup(10, **{make("speed_kts"): 12})
        assert str(written.value) == str(given.value) == (
            "NavCalc.setup() got multiple values for argument 'speed_kts'"
        )
        with pytest.raises(TypeError) as twice:
            NavCalc(1, 2, 3, 4, **{make("length"): 5})
        assert str(twice.value) == "NavCalc.__new__() got multiple values for argument 'length'"
        with pytest.raises(TypeError) as both:
            NavCalc(1, 2, 3, draught=4, **{make("breadth"): 5})
        assert str(both.value) == "NavCalc.__new__() got multiple values for argument 'breadth'"


def test_keyword_order_does_not_matter_for_the_result():
    v = vessel()
    expected = v.compute(90, 6, 2.9, 100)
    assert v.compute(90, 6, wave_beta=100, wave_height=2.9) == expected
    assert v.compute(wave_height=2.9, wind_beta=90, wave_beta=100, wind_scale=6) == expected
    assert NavCalc(length=120, draught=7, displacement=10000, breadth=20).compute(0, 4, 2.0, 0) == (
        NavCalc(10000, 120, 20, 7).compute(0, 4, 2.0, 0)
    )


# --- integers for doubles --------------------------------------------------------

INTS = [1, 7, 2**30 - 1, 2**30, 2**31 + 1, 2**53 + 1, 10**20, 3 * 10**300]


@pytest.mark.parametrize("n", INTS)
def test_an_int_particular_is_its_float(n):
    by_int = NavCalc(n, n, n, n)
    by_float = NavCalc(float(n), float(n), float(n), float(n))
    for scale in range(13):
        assert repr(by_int.compute(45, scale, 2.0, 45)) == repr(by_float.compute(45, scale, 2.0, 45))


@pytest.mark.parametrize("n", [0, -1, -(2**30), -(2**62)])
def test_non_positive_int_particulars_fail_like_floats(n):
    with pytest.raises(BaseException) as caught:  # PanicException is no Exception
        NavCalc(n, 1, 1, 1)
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == ("参数必须大于0",)


@pytest.mark.parametrize("n", [2**1024, -(2**1024), 10**400])
@pytest.mark.parametrize("where", ["new", "setup", "compute"])
def test_an_int_too_large_for_a_double_raises_the_interpreters_overflow(n, where):
    with pytest.raises(OverflowError) as expected:
        float(n)
    v = vessel()
    call = {
        "new": lambda: NavCalc(10000, n, 20, 7),
        "setup": lambda: v.setup(n, True),
        "compute": lambda: v.compute(0, 4, n, 0),
    }[where]
    with pytest.raises(OverflowError) as caught:
        call()
    assert type(caught.value) is OverflowError
    assert caught.value.args == expected.value.args


@pytest.mark.parametrize("n", [0, 1, 12, 2**31 - 1, -1, -(2**31)])
def test_speeds_and_angles_given_as_ints(n):
    v = vessel()
    w = vessel()
    v.setup(n, True)
    w.setup(float(n), True)
    assert repr(v.compute(n, 5, n, n)) == repr(w.compute(float(n), 5, float(n), float(n)))


def test_int_subclasses_and_bools_still_take_the_full_conversion():
    class Knots(int):
        def __float__(self):
            return 3.0

    class Scale(int):
        def __index__(self):
            raise AssertionError("not called for an int subclass")

    v = vessel()
    w = vessel()
    v.setup(Knots(30), True)  # __float__ of the subclass decides
    w.setup(3.0, True)
    assert v.compute(0, 4, 2.0, 0) == w.compute(0, 4, 2.0, 0)
    assert v.compute(True, True, True, True) == v.compute(1.0, 1, 1.0, 1.0)
    assert v.compute(0, Scale(4), 2.0, 0) == v.compute(0, 4, 2.0, 0)


@pytest.mark.parametrize("scale", [2**31, -(2**31) - 1, 2**64, 10**30])
def test_wind_scale_outside_32_bits(scale):
    with pytest.raises(OverflowError) as caught:
        vessel().compute(0, scale, 1, 0)
    assert caught.value.args == ("Python int too large to convert to C long",)


# --- the displacement power, shared ----------------------------------------------

FLEET = [10000, 45000, 500, 123456.789, 0.75, 1e9]


def table(v):
    return [repr(v.compute(beta, scale, 2.0, beta)) for scale in range(13) for beta in (0, 45, 90, 170)]


def fresh_tables():
    return [table(vessel(d, 120, 20, 7)) for d in FLEET]


def test_interleaved_vessels_give_each_its_own_results():
    expected = fresh_tables()
    fleet = [vessel(d, 120, 20, 7) for d in FLEET]
    got = [[] for _ in FLEET]
    for scale in range(13):
        for beta in (0, 45, 90, 170):
            for i, v in enumerate(fleet):
                got[i].append(repr(v.compute(beta, scale, 2.0, beta)))
    assert got == expected


def test_threads_on_different_vessels_give_each_its_own_results():
    expected = fresh_tables()
    results = {}

    def work(i):
        v = vessel(FLEET[i], 120, 20, 7)
        results[i] = [table(v) for _ in range(50)]

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    try:
        threads = [threading.Thread(target=work, args=(i,)) for i in range(len(FLEET))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    for i in range(len(FLEET)):
        assert all(t == expected[i] for t in results[i])
