"""Argument binding and conversion: what each parameter kind accepts, and which error each refusal raises."""

import collections
import fractions

import pytest

import quarn_parser
from conftest import atom


@pytest.fixture(scope="module")
def s(tmp_path_factory):
    from conftest import cif_text

    path = tmp_path_factory.mktemp("conv") / "three.cif"
    path.write_text(cif_text([atom("C", 0, 0, 0), atom("C", 1.5, 0, 0, name="CB"), atom("O", 0, 2.5, 0)]))
    return quarn_parser.parse(path)


class FloatLike:
    def __float__(self):
        return 2.0


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingFloat:
    def __float__(self):
        raise ValueError("not today")


Point = collections.namedtuple("Point", "x y z")


# --- float ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize("cutoff", [2.0, 2, FloatLike(), IndexLike(2), fractions.Fraction(2)])
def test_float_accepts_what_float_conversion_accepts(s, cutoff):
    assert [(c.first, c.second) for c in s.contacts(cutoff)] == [(0, 1)]
    assert s.contacts(True) == []  # bool is an int: a cutoff of 1.0


@pytest.mark.parametrize("cutoff", ["2.0", None, [2.0], 1j])
def test_float_refusal_is_a_type_error_naming_callable_and_parameter(s, cutoff):
    with pytest.raises(TypeError, match=r"^Structure\.contacts\(\) argument 'cutoff': "):
        s.contacts(cutoff)


def test_float_conversion_errors_of_other_types_pass_through(s):
    with pytest.raises(OverflowError):
        s.contacts(10**400)
    with pytest.raises(ValueError, match="^not today$"):
        s.contacts(RaisingFloat())


# --- count ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize("bound, expected", [(1, 1), (True, 1), (False, 0), (IndexLike(2), 2), (2**64 - 1, 3)])
def test_count_accepts_ints_bools_and_index_objects(s, bound, expected):
    assert len(s.contacts(10.0, bound)) == expected


@pytest.mark.parametrize("bound", [1.0, "1", IndexLike(1.5), [1]])
def test_count_refuses_non_integers_with_type_error(s, bound):
    with pytest.raises(TypeError, match=r"^Structure\.contacts\(\) argument 'max_results': "):
        s.contacts(10.0, bound)


@pytest.mark.parametrize("bound", [-1, 2**64, -(2**70), IndexLike(-3)])
def test_count_out_of_range_raises_overflow_error(s, bound):
    with pytest.raises(OverflowError, match=r"max_results"):
        s.contacts(10.0, bound)


def test_none_is_a_count_only_where_the_parameter_is_optional(s):
    assert len(s.contacts(10.0, None)) == len(s.contacts(10.0)) == 3
    with pytest.raises(TypeError, match=r"^Structure\.nearest_atoms\(\) argument 'max_results': "):
        s.nearest_atoms((0.0, 0.0, 0.0), 5.0, None)
    with pytest.raises(TypeError, match=r"argument 'atom_index'"):
        s.atom_profile(None, False, 0.0)


# --- flag ----------------------------------------------------------------------------------------------


def test_flag_accepts_only_true_and_false(s):
    assert [b.index for b in s.sparse_adjacency(True, 0.1)[0]] == [1]
    assert s.sparse_adjacency(False, 0.1)[0] == []


@pytest.mark.parametrize("flag", [1, 0, None, "yes", 1.0])
def test_flag_refuses_everything_else_with_type_error(s, flag):
    refusal = r"^Structure\.sparse_adjacency\(\) argument 'include_geometric': must be True or False"
    with pytest.raises(TypeError, match=refusal):
        s.sparse_adjacency(flag, 0.1)
    with pytest.raises(TypeError, match=r"^Structure\.atom_profile\(\) argument 'include_geometric'"):
        s.atom_profile(0, flag, 0.1)


def test_flag_accepts_numpy_bool_through_its_bool(s):
    numpy = pytest.importorskip("numpy", reason="numpy is not installed")
    assert [b.index for b in s.sparse_adjacency(numpy.bool_(True), 0.1)[0]] == [1]
    assert s.sparse_adjacency(numpy.bool_(False), 0.1)[0] == []
    assert [b.index for b in s.atom_profile(1, numpy.True_, 0.1).neighbor_bonds] == [0]
    with pytest.raises(TypeError):
        s.sparse_adjacency(numpy.int64(1), 0.1)
    with pytest.raises(TypeError):
        s.sparse_adjacency(numpy.array([True]), 0.1)


# --- point ---------------------------------------------------------------------------------------------


@pytest.mark.parametrize("origin", [(0.0, 0.0, 0.0), (0, 0, 0), Point(0, False, IndexLike(0))])
def test_point_accepts_tuples_and_tuple_subclasses_of_three_reals(s, origin):
    assert [h.index for h in s.nearest_atoms(origin, 1.6, 5)] == [0, 1]


@pytest.mark.parametrize("origin", [[0.0, 0.0, 0.0], {0.0, 1.0, 2.0}, "abc", None, 0.0])
def test_point_that_is_not_a_tuple_raises_type_error(s, origin):
    with pytest.raises(TypeError, match=r"^Structure\.nearest_atoms\(\) argument 'origin': must be a tuple"):
        s.nearest_atoms(origin, 1.0, 5)


@pytest.mark.parametrize("origin, length", [((0.0, 0.0), 2), ((), 0), ((0, 0, 0, 0), 4)])
def test_point_of_wrong_length_raises_value_error_naming_both_lengths(s, origin, length):
    with pytest.raises(ValueError, match=rf"length 3, got length {length}$"):
        s.nearest_residues(origin, 1.0, 5)


def test_point_item_failures(s):
    with pytest.raises(TypeError, match=r"^Structure\.nearest_atoms\(\) argument 'origin': must be real number"):
        s.nearest_atoms((0.0, "1", 0.0), 1.0, 5)
    with pytest.raises(ValueError, match="^not today$"):
        s.nearest_atoms((0.0, RaisingFloat(), 0.0), 1.0, 5)


# --- index list ----------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "indices", [[0, 2], (0, 2), range(0, 3, 2), [IndexLike(0), IndexLike(2)], collections.deque([0, 2])]
)
def test_index_list_accepts_any_sequence_of_counts(s, indices):
    assert s.dense_distance_matrix(indices).atom_indices == [0, 2]


@pytest.mark.parametrize("indices", ["02", 5, {0: 1}, (i for i in [0]), {0, 2}])
def test_index_list_refuses_str_and_non_sequences_with_type_error(s, indices):
    with pytest.raises(TypeError, match=r"^Structure\.dense_distance_matrix\(\) argument 'atom_indices': "):
        s.dense_distance_matrix(indices)


def test_index_list_items_convert_as_counts(s):
    with pytest.raises(TypeError, match=r"argument 'atom_indices'"):
        s.dense_distance_matrix([0, 1.0])
    with pytest.raises(OverflowError, match=r"atom_indices"):
        s.dense_distance_matrix([0, -1])
    with pytest.raises(OverflowError):
        s.dense_distance_matrix([2**64])


# --- binding -------------------------------------------------------------------------------------------


def test_every_parameter_binds_by_position_or_keyword(s):
    by_position = s.nearest_atoms((0.0, 0.0, 0.0), 2.0, 5)
    by_keyword = s.nearest_atoms(max_results=5, origin=(0.0, 0.0, 0.0), max_distance=2.0)
    assert [h.index for h in by_position] == [h.index for h in by_keyword] == [0, 1]
    assert s.atom_profile(tolerance=0.1, include_geometric=True, atom_index=0).neighbor_indices == [1]
    assert s.dense_distance_matrix(atom_indices=[1]).atom_indices == [1]
    assert len(s.contacts(cutoff=10.0, max_results=1)) == 1


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.contacts(), "contacts() missing 1 required argument: 'cutoff'"),
        (lambda s: s.contacts(1.0, 2, 3), "contacts() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda s: s.contacts(1.0, cutoff=2.0), "contacts() got multiple values for argument 'cutoff'"),
        (lambda s: s.contacts(1.0, limit=2), "contacts() got an unexpected keyword argument 'limit'"),
        (lambda s: s.nearest_atoms((0, 0, 0)),
         "nearest_atoms() missing 2 required arguments: 'max_distance' and 'max_results'"),
        (lambda s: s.atom_profile(),
         "atom_profile() missing 3 required arguments: 'atom_index', 'include_geometric' and 'tolerance'"),
        (lambda s: s.sparse_adjacency(True, 0.0, 1),
         "sparse_adjacency() takes 2 positional arguments but 3 were given"),
        (lambda s: s.dense_distance_matrix([0], [1]),
         "dense_distance_matrix() takes from 0 to 1 positional arguments but 2 were given"),
    ],
)
def test_binding_errors_name_the_method(s, call, message):
    with pytest.raises(TypeError) as info:
        call(s)
    assert str(info.value) == "Structure." + message


@pytest.mark.parametrize("method", ["unit_cell", "bounding_box", "explicit_bonds"])
def test_methods_without_parameters_refuse_arguments(s, method):
    with pytest.raises(TypeError):
        getattr(s, method)(1)


def test_all_arguments_convert_before_any_validation_and_the_first_failure_wins(s):
    with pytest.raises(TypeError, match="'cutoff'"):
        s.contacts("x", -1)
    with pytest.raises(TypeError, match="'max_results'"):
        s.contacts(-1.0, "x")  # the negative cutoff is never looked at
    with pytest.raises(TypeError, match="'tolerance'"):
        s.atom_profile(99, True, "x")
    with pytest.raises(OverflowError):
        s.atom_profile(-1, 1, "x")
    with pytest.raises(ValueError, match="length 3"):
        s.nearest_atoms((0, 0), "x", None)
