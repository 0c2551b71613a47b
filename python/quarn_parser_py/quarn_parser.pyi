"""Read mmCIF structure files and ask geometric and chemical questions about their atoms.

``parse(path)`` reads a file into a :class:`Structure`; every question is a method of it. Answers are
plain values or small read-only result objects that own copies of their values and outlive the
structure they came from. Lengths are in ångström (Å), angles in degrees.

Behaviour worth knowing before the first query:

- **Every row is an atom.** Each ``_atom_site`` row becomes one atom, whatever its model number or
  alternate location; nothing is filtered or merged. Every query searches all models and all
  alternate conformations together, so a multi-model NMR entry or a residue with two conformations
  yields pairs between copies of the same atom. An atom's index is the zero-based position of its row
  in the file, and atoms without all three coordinates keep their index but take part in no
  geometric query.
- **Distances and the cell.** When the file gives a unit cell whose three angles are all within
  1e-4 degree of 90, distances are minimum-image distances in that orthogonal cell: each coordinate
  difference larger than half the cell edge is shifted once by one edge (only once, so differences
  beyond one and a half edges stay long). Any other cell, and no cell, gives plain Euclidean
  distances. The 1 x 1 x 1 Å placeholder cell of entries not determined by crystallography is not
  periodic (``unit_cell()`` still reports it). Every query measures a pair the same way, to the bit.
- **Identifiers.** ``chain_id`` is the atom's ``label_asym_id``, or its ``auth_asym_id`` when the
  label is absent; ``seq_id`` is ``label_seq_id``, or ``auth_seq_id`` when the label is absent
  (waters and ligands usually have no ``label_seq_id``, so they report their author number). Texts
  are stored trimmed, as written; ``element`` is the ``type_symbol`` upper-cased. Absent values
  ("." or "?" in the file) are None, never "" or 0.
- **Elements.** An atom's element is found from its ``type_symbol``, else its ``label_atom_id``,
  else its ``auth_atom_id``, among 18 elements: H C N O F P S CL NA MG K CA FE ZN SE BR I CU. So an
  atom without ``type_symbol`` named CA is calcium. Atoms without an element form no geometric bond
  and get a distance-only contact class.
- **Explicit bonds.** A ``_struct_conn`` row binds, for each partner, the first atom in the file
  whose fields equal every partner field the row gives (``ptnrN_label_atom_id``,
  ``ptnrN_label_comp_id``, ``ptnrN_label_asym_id``, ``ptnrN_label_seq_id``, ``ptnrN_auth_atom_id``,
  ``ptnrN_auth_asym_id``, ``ptnrN_auth_seq_id``; names compared ignoring ASCII case). With several
  models or alternate locations that is the first copy in the file. A ``_chem_comp_bond`` row binds
  only the first residue of its component: ``atom_id_1`` is the first atom in the file with that
  component and name, and ``atom_id_2`` is looked for only in that atom's residue (same model, chain,
  number and component); later residues of the same component get nothing from it. A row whose atom
  is not found adds nothing. Bond types come from ``_struct_conn.conn_type_id`` (text containing HYD:
  "hydrogen_bond", ION: "ionic", METAL: "metallic", COVAL: "covalent_unknown"; disulf, saltbr,
  mismat and modres: None) and ``_chem_comp_bond.value_order`` (in any letter case, SING, SINGLE
  or 1: "covalent_single"; DOUB, DOUBLE, 2 or PI: "covalent_double"; TRIP, TRIPLE or 3:
  "covalent_triple"; AROM, AROMATIC, DELO or DELOCALIZED: "covalent_aromatic"; QUAD, QUADRUPLE, 4
  or PARTIAL: "covalent_unknown"; ION or IONIC: "ionic"; METAL or COORD: "metallic"; anything else:
  None).
- **Geometric bonds.** ``sparse_adjacency`` and ``atom_profile`` can add bonds between positioned
  atoms with an element whose distance is at most the sum of their elements' covalent radii plus ``tolerance`` (Å);
  there is no lower bound, and a pair already bonded explicitly keeps its explicit type. Geometric
  bonds have the type "covalent_unknown".
- **Contact classes.** With s the sum of the two covalent radii and d the distance: "covalent" when
  |d - s| <= 0.4; else "clash" when d < s - 0.25; else "short_contact" when d < s + 1.0; else
  "nonbonded". When either atom has no element: "short_contact" below 2.0 Å, else "nonbonded".

Arguments may be passed by position or by keyword. A wrong number of arguments or an unknown keyword
raises ``TypeError`` naming the method; a ``TypeError`` from converting an argument names the
parameter. Reals accept ``float``, ``int`` and objects with ``__float__`` or ``__index__``; counts and
indices accept ``int`` (``bool`` included) and objects with ``__index__``, from 0 to 2**64 - 1
(a ``float`` raises ``TypeError``, a negative or larger value ``OverflowError``); flags accept only
``True``, ``False`` and ``numpy.bool_``. A result too large for the memory available raises
``MemoryError`` before it is built, and the structure stays usable. A broken internal invariant
raises an internal error derived from ``BaseException`` (not ``Exception``).

Calls hold the interpreter lock until they return. The classes are final and cannot be instantiated
from Python ("No constructor defined"); attributes are read-only and every read builds a new object.
"""

from os import PathLike
from typing import Sequence, SupportsFloat, SupportsIndex, TypeAlias, final

_Real: TypeAlias = SupportsFloat | SupportsIndex
_Triple: TypeAlias = tuple[float, float, float]

__all__ = [
    "Structure",
    "AtomHit",
    "ResidueHit",
    "DistanceMatrix",
    "BondNeighbor",
    "Contact",
    "AtomProfile",
    "parse",
]

@final
class Structure:
    """The atoms, cell and explicit bonds of one parsed file. Made only by :func:`parse`.

    Queries never change it, except that the first call needing bonds (``explicit_bonds``,
    ``sparse_adjacency``, ``atom_profile``) resolves the explicit bonds once and keeps them.
    """

    @property
    def atom_count(self) -> int:
        """Number of atoms: one per ``_atom_site`` row of every model and alternate location,
        positioned or not. Valid atom indices are 0 to ``atom_count - 1``."""
    @property
    def entry_id(self) -> str | None:
        """The entry's identifier: the last of the data block names (after ``data_``) and
        ``_entry.id`` values in the file; when the file gives none, or its last ``_entry.id`` is
        null, the file name without its last extension (``1abc.cif.gz`` gives ``1abc.cif``). None
        only when that name is not valid UTF-8."""
    @property
    def space_group(self) -> str | None:
        """The ``_symmetry.space_group_name_H-M`` text (no other item is read), or None when the file
        has none."""
    def unit_cell(self) -> tuple[_Triple, _Triple] | None:
        """The cell as read from ``_cell``.

        Returns
        -------
        ((a, b, c), (alpha, beta, gamma)) with edge lengths in Å and angles in degrees, or None when
        the file has no ``_cell`` items. The 1 x 1 x 1 Å placeholder cell is reported too, although
        distances do not wrap in it.
        """
    def bounding_box(self) -> tuple[_Triple, _Triple] | None:
        """The box around every positioned atom, all models and alternate locations included.

        Returns
        -------
        ((min x, min y, min z), (max x, max y, max z)) in Å, from the coordinates as read (not
        wrapped into the cell; a NaN coordinate counts only when every atom has NaN there), or None
        when no atom has all three coordinates.
        """
    def contacts(self, cutoff: _Real, max_results: SupportsIndex | None = None) -> list[Contact]:
        """Every pair of positioned atoms within a distance, nearest first, each classified.

        Parameters
        ----------
        cutoff : float
            Largest distance listed, in Å, inclusive: a pair exactly at the cutoff is listed. Must be
            greater than zero.
        max_results : int or None
            How many of the nearest pairs to return; None (the default) returns all, 0 none.

        Returns
        -------
        list of Contact
            One per pair (first < second), ordered by distance ascending; equal distances by first,
            then second index. Pairs of copies of one atom (other models, alternate locations) are
            included. ``max_results`` keeps the first rows of that complete order.

        Raises
        ------
        ValueError
            "cutoff must be positive" for a cutoff of zero, below zero, or NaN.
        TypeError
            ``cutoff`` is not a real number, or ``max_results`` not an integer or None.
        OverflowError
            ``max_results`` is negative or above 2**64 - 1.
        MemoryError
            The pairs cannot fit in memory (a large cutoff on a large structure).
        """
    def nearest_atoms(
        self, origin: tuple[_Real, _Real, _Real], max_distance: _Real, max_results: SupportsIndex
    ) -> list[AtomHit]:
        """The positioned atoms within a radius of a point, nearest first.

        Parameters
        ----------
        origin : tuple of three floats
            The point (x, y, z) in Å. Must be a tuple (a list is refused).
        max_distance : float
            Radius in Å, inclusive. Zero, negative or NaN finds nothing.
        max_results : int
            Largest number of atoms returned; required (None is refused). 0 finds nothing.

        Returns
        -------
        list of AtomHit
            Nearest first; atoms at equal distance in ascending index order. Copies of an atom in
            other models or alternate locations are separate hits.

        Raises
        ------
        TypeError
            ``origin`` is not a tuple, an item or ``max_distance`` is not a real number, or
            ``max_results`` is not an integer.
        ValueError
            ``origin`` does not have exactly three items.
        OverflowError
            ``max_results`` is negative or above 2**64 - 1.
        """
    def nearest_residues(
        self, origin: tuple[_Real, _Real, _Real], max_distance: _Real, max_results: SupportsIndex
    ) -> list[ResidueHit]:
        """The amino-acid residues within a radius of a point, nearest first.

        Only the 21 standard amino acids count: ALA ARG ASN ASP CYS GLN GLU GLY HIS ILE LEU LYS MET
        PHE PRO SER THR TRP TYR VAL SEC (``label_comp_id`` compared after trimming and upper-casing).
        Modified residues such as MSE, unknown residues, nucleotides, water and ligands never appear.
        A residue is the atoms sharing ``comp_id``, ``chain_id`` and ``seq_id``: models, alternate
        locations and insertion codes are not told apart, so their copies make one residue.

        Parameters
        ----------
        origin : tuple of three floats
            The point (x, y, z) in Å. Must be a tuple (a list is refused).
        max_distance : float
            Radius in Å, inclusive. Zero or negative finds nothing; NaN keeps every residue.
        max_results : int
            Largest number of residues returned; required (None is refused). 0 finds nothing.

        Returns
        -------
        list of ResidueHit
            Each residue once, at the distance of its nearest positioned atom within the radius,
            nearest first; residues at equal distance in the order of their first such atom in the
            file.

        Raises
        ------
        TypeError
            ``origin`` is not a tuple, an item or ``max_distance`` is not a real number, or
            ``max_results`` is not an integer.
        ValueError
            ``origin`` does not have exactly three items.
        OverflowError
            ``max_results`` is negative or above 2**64 - 1.
        """
    def dense_distance_matrix(self, atom_indices: Sequence[SupportsIndex] | None = None) -> DistanceMatrix:
        """All pairwise distances among chosen atoms.

        Parameters
        ----------
        atom_indices : sequence of int or None
            The atoms for the rows and columns, in this order; repeats are kept, and indices that
            are out of range or name an atom without coordinates are skipped without error (see
            ``DistanceMatrix.atom_indices`` for the ones used). None (the default) or an empty
            sequence chooses every positioned atom, in index order. Any sequence but ``str``.

        Returns
        -------
        DistanceMatrix
            The chosen indices and the symmetric matrix of their distances in Å.

        Raises
        ------
        TypeError
            ``atom_indices`` is a ``str`` or not a sequence, or an item is not an integer.
        OverflowError
            An item is negative or above 2**64 - 1.
        MemoryError
            The matrix, n * n values for n chosen atoms, cannot fit in memory (checked before it is
            built: asking for every atom of a large entry does this).
        """
    def sparse_adjacency(self, include_geometric: bool, tolerance: _Real) -> list[list[BondNeighbor]]:
        """Every atom's bonded neighbours.

        Parameters
        ----------
        include_geometric : bool
            False: only the file's explicit bonds. True: also bonds inferred from distances.
        tolerance : float
            Å added to the sum of covalent radii in the geometric test; used unchecked, so a negative
            value narrows the test and NaN adds no bond. Ignored when ``include_geometric`` is False.

        Returns
        -------
        list of list of BondNeighbor
            One list per atom, in atom order, ``atom_count`` lists in all. Each bond appears in the
            lists of both its atoms: explicit bonds first, in the order of their rows, then geometric
            ones ("covalent_unknown"). A bond row given twice is listed twice.

        Raises
        ------
        TypeError
            ``include_geometric`` is not True, False or a ``numpy.bool_`` (``1`` is refused), or
            ``tolerance`` is not a real number.
        MemoryError
            The lists cannot fit in memory.
        """
    def explicit_bonds(self) -> list[tuple[int, int]]:
        """The bonds that the file's ``_struct_conn`` and ``_chem_comp_bond`` rows resolve to.

        Returns
        -------
        list of (int, int)
            One (i, j) atom index pair with i < j per resolved row, ordered by i, then by row order;
            a repeated row gives a repeated pair; a row binding an atom to itself is left out. Bond
            types are in ``sparse_adjacency``.

        Raises
        ------
        MemoryError
            The pairs cannot fit in memory.
        """
    def atom_profile(self, atom_index: SupportsIndex, include_geometric: bool, tolerance: _Real) -> AtomProfile:
        """One atom's identity, chemistry and bonded neighbours.

        Parameters
        ----------
        atom_index : int
            The atom, 0 to ``atom_count - 1``.
        include_geometric : bool
            Whether bonds inferred from distances join the explicit ones (as in
            ``sparse_adjacency``).
        tolerance : float
            Å added to the sum of covalent radii in the geometric test; must not be negative when
            ``include_geometric`` is True, and is ignored when it is False.

        Returns
        -------
        AtomProfile
            Its neighbours are the atom's list in ``sparse_adjacency(include_geometric,
            tolerance)``, in the same order.

        Raises
        ------
        ValueError
            "atom_index out of range" when ``atom_index`` is not below ``atom_count`` (tested first);
            "tolerance must be non-negative" when ``include_geometric`` is True and ``tolerance`` is
            below zero.
        TypeError
            ``atom_index`` is not an integer, ``include_geometric`` not True, False or a
            ``numpy.bool_``, or ``tolerance`` not a real number.
        OverflowError
            ``atom_index`` is negative or above 2**64 - 1.
        """

@final
class AtomHit:
    """One atom found by :meth:`Structure.nearest_atoms`."""

    @property
    def index(self) -> int:
        """The atom's index in the structure."""
    @property
    def distance(self) -> float:
        """Distance from the query point in Å (minimum image in a periodic cell)."""
    @property
    def label_atom_id(self) -> str | None:
        """The atom's ``label_atom_id`` (its name, e.g. "CA"), or None when absent."""
    @property
    def label_comp_id(self) -> str | None:
        """The atom's ``label_comp_id`` (its component, e.g. "ALA"), or None when absent."""
    @property
    def chain_id(self) -> str | None:
        """``label_asym_id``, else ``auth_asym_id``; None when both are absent."""
    @property
    def seq_id(self) -> int | None:
        """``label_seq_id``, else ``auth_seq_id``; None when both are absent."""
    @property
    def element(self) -> str | None:
        """The ``type_symbol`` text upper-cased, as stored (not looked up); None when absent."""
    @property
    def position(self) -> _Triple | None:
        """(x, y, z) in Å as read; always present for a hit."""

@final
class ResidueHit:
    """One amino-acid residue found by :meth:`Structure.nearest_residues`."""

    @property
    def comp_id(self) -> str | None:
        """The residue's ``label_comp_id`` as stored (a lower-case "ala" stays lower case)."""
    @property
    def chain_id(self) -> str | None:
        """``label_asym_id``, else ``auth_asym_id``; None when both are absent."""
    @property
    def seq_id(self) -> int | None:
        """``label_seq_id``, else ``auth_seq_id``; None when both are absent."""
    @property
    def distance(self) -> float:
        """Distance in Å from the query point to the residue's nearest atom within the radius."""

@final
class DistanceMatrix:
    """Pairwise distances from :meth:`Structure.dense_distance_matrix`."""

    @property
    def atom_indices(self) -> list[int]:
        """The atoms of the rows and columns, in order (after skipping unusable indices)."""
    @property
    def distances(self) -> list[list[float]]:
        """One row per entry of ``atom_indices``: ``distances[r][c]`` is the distance in Å between
        atoms ``atom_indices[r]`` and ``atom_indices[c]``; symmetric, with 0.0 on the diagonal.

        Raises ``MemoryError`` when the rows cannot fit in memory as Python lists."""

@final
class BondNeighbor:
    """One bonded neighbour, in :meth:`Structure.sparse_adjacency` and ``AtomProfile.neighbor_bonds``."""

    @property
    def index(self) -> int:
        """The neighbour's atom index."""
    @property
    def bond_type(self) -> str | None:
        """"covalent_single", "covalent_double", "covalent_triple", "covalent_aromatic",
        "covalent_unknown" (geometric bonds, covalent links), "ionic", "hydrogen_bond" or
        "metallic"; None when the bond row gives no recognised type (disulfide links among them)."""

@final
class Contact:
    """One pair of atoms from :meth:`Structure.contacts`."""

    @property
    def first(self) -> int:
        """Index of the first atom; always smaller than ``second``."""
    @property
    def second(self) -> int:
        """Index of the second atom."""
    @property
    def distance(self) -> float:
        """Distance between the two atoms in Å (minimum image in a periodic cell)."""
    @property
    def classification(self) -> str:
        """"covalent", "clash", "short_contact" or "nonbonded", by the distance d against the sum s
        of the two covalent radii: covalent when |d - s| <= 0.4, else clash when d < s - 0.25, else
        short_contact when d < s + 1.0, else nonbonded. When either atom has no element,
        short_contact below 2.0 Å and nonbonded from 2.0 Å on."""

@final
class AtomProfile:
    """One atom's identity, chemistry and neighbours, from :meth:`Structure.atom_profile`."""

    @property
    def index(self) -> int:
        """The atom's index."""
    @property
    def label_atom_id(self) -> str | None:
        """The atom's ``label_atom_id``, or None when absent."""
    @property
    def label_comp_id(self) -> str | None:
        """The atom's ``label_comp_id``, or None when absent."""
    @property
    def chain_id(self) -> str | None:
        """``label_asym_id``, else ``auth_asym_id``; None when both are absent."""
    @property
    def seq_id(self) -> int | None:
        """``label_seq_id``, else ``auth_seq_id``; None when both are absent."""
    @property
    def element(self) -> str | None:
        """The ``type_symbol`` text upper-cased, as stored (not looked up); None when absent."""
    @property
    def occupancy(self) -> float | None:
        """``_atom_site.occupancy``, or None when absent."""
    @property
    def b_factor(self) -> float | None:
        """``_atom_site.B_iso_or_equiv`` in Å², or None when absent."""
    @property
    def formal_charge(self) -> int | None:
        """``_atom_site.pdbx_formal_charge``, or None when absent."""
    @property
    def position(self) -> _Triple | None:
        """(x, y, z) in Å, or None unless all three coordinates are present."""
    @property
    def electronegativity(self) -> float | None:
        """Pauling electronegativity of the atom's element, or None when no element is found."""
    @property
    def hybridization(self) -> str | None:
        """"sp", "sp2" or "sp3", estimated from the element and the number of neighbours: C and N
        with 2, 3, 4 neighbours are sp, sp2, sp3 (other counts: sp3 with at least 3 heavy
        neighbours); O and S with 1, 2, 3 or 4 are sp, sp2, sp3, sp3 (other counts: sp2 with at
        least 2 heavy neighbours). None otherwise, and for every other element (H, F, P, two-letter
        symbols) or an atom without an element."""
    @property
    def neighbor_indices(self) -> list[int]:
        """Indices of the bonded neighbours, in adjacency order (explicit bonds first)."""
    @property
    def neighbor_bonds(self) -> list[BondNeighbor]:
        """The same neighbours with their bond types, in the same order as ``neighbor_indices``."""

def parse(path: str | PathLike[str]) -> Structure:
    """Read an mmCIF file.

    A name ending in ``.gz`` (any letter case) is decompressed as gzip, every member in turn; any
    other name is read as plain text. The whole text must be UTF-8. Every ``_atom_site`` row is
    kept (see the module notes); ``_struct_conn``, ``_chem_comp_bond``, ``_cell``,
    ``_symmetry.space_group_name_H-M``, ``_entry.id`` and ``_struct.title`` are read too, and the
    reading stops at the first error.

    Parameters
    ----------
    path : str or os.PathLike
        The file, as a ``str`` or an object whose ``__fspath__`` returns ``str``; ``bytes`` paths
        are refused.

    Returns
    -------
    Structure

    Raises
    ------
    OSError
        "path must be str or os.PathLike" when ``path`` is not such an object (``bytes``, None and
        numbers included) or its ``__fspath__`` fails; a ``KeyboardInterrupt``, ``SystemExit`` or
        ``MemoryError`` raised by ``__fspath__`` propagates unchanged instead.
    ValueError
        Whenever the file cannot be read or parsed (a missing file included), with the text
        "<kind>: <message>", for example "I/O error: No such file or directory (os error 2) (x.cif)",
        "invalid numeric literal: invalid numeric literal '1.2.3' for _atom_site.Cartn_x",
        "numeric value missing: partial unit cell definition encountered" or
        "_atom_site loop missing: _atom_site loop missing" (a file without atoms).
    MemoryError
        The decompressed text or the model cannot fit in memory.
    """
