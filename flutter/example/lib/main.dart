import 'dart:io';

// Flutter's painting library has an ImageInfo of its own.
import 'package:flutter/material.dart' hide ImageInfo;
import 'package:flutter/services.dart';
import 'package:velmo_image_tools/velmo_image_tools.dart';

void main() => runApp(const ExampleApp());

class ExampleApp extends StatelessWidget {
  const ExampleApp({super.key});

  @override
  Widget build(BuildContext context) {
    return const MaterialApp(title: 'velmo_image_tools', home: ExamplePage());
  }
}

class ExamplePage extends StatefulWidget {
  const ExamplePage({super.key});

  @override
  State<ExamplePage> createState() => _ExamplePageState();
}

class _ExamplePageState extends State<ExamplePage> {
  static const VelmoImageTools _tools = VelmoImageTools();

  /// A crop, a pen line, a rectangle, an arrow, a blur brush and a corner stamp.
  static const RenderRecipe _recipe = RenderRecipe(
    crop: CropRect(0.05, 0.05, 0.9, 0.9),
    strokes: <Stroke>[
      Stroke(
        points: <Offset>[Offset(0.1, 0.1), Offset(0.3, 0.25), Offset(0.5, 0.2)],
        color: 0xFFE53935,
        widthFraction: 0.01,
      ),
      Stroke(
        points: <Offset>[Offset(0.55, 0.5), Offset(0.9, 0.8)],
        shape: StrokeShape.rectangle,
        color: 0xFF1E88E5,
      ),
      Stroke(
        points: <Offset>[Offset(0.2, 0.8), Offset(0.45, 0.6)],
        shape: StrokeShape.arrow,
        color: 0xFFFFEB3B,
      ),
      Stroke.blur(
        points: <Offset>[Offset(0.6, 0.15), Offset(0.85, 0.3)],
        widthFraction: 0.05,
      ),
    ],
    watermark: Watermark(
      text: 'velmo',
      style: WatermarkStyle.cornerStamp,
      gradientColors: <int>[0xCC3949AB, 0xCC00ACC1],
    ),
  );

  final TextEditingController _path = TextEditingController();
  final List<String> _lines = <String>[];
  String? _rendered;
  bool _busy = false;

  @override
  void dispose() {
    _path.dispose();
    super.dispose();
  }

  void _show(String line) {
    if (mounted) setState(() => _lines.add(line));
  }

  Future<void> _run() async {
    setState(() {
      _busy = true;
      _lines.clear();
      _rendered = null;
    });
    final String photo = _path.text.trim();
    try {
      final String out = (await Directory.systemTemp.createTemp('velmo_example')).path;

      final ImageInfo info = await _tools.metadata(photo);
      _show('metadata: $info');

      // 1080 pixels wide, the height following the photo's shape.
      final int height = (1080 * info.height / info.width).round();
      final FileResult render = await _tools.render(
        path: photo,
        destination: '$out/render',
        width: 1080,
        height: height,
        recipe: _recipe,
      );
      _show('render: $render');

      final FileResult tile = await _tools.tile(
        path: photo,
        destination: '$out/tile',
        x: 0,
        y: 0,
        width: 1024,
        height: 1024,
        sample: 2,
      );
      _show('tile: $tile');
      if (mounted) setState(() => _rendered = render.path);
    } on PlatformException catch (error) {
      // argumentsErrorCode or processingErrorCode, with the plug-in's message.
      _show('failed: ${error.code}: ${error.message}');
    } on FileSystemException catch (error) {
      _show('failed: $error');
    } finally {
      if (mounted) setState(() => _busy = false);
    }
  }

  @override
  Widget build(BuildContext context) {
    final String? rendered = _rendered;
    return Scaffold(
      appBar: AppBar(title: const Text('velmo_image_tools')),
      body: ListView(
        padding: const EdgeInsets.all(16),
        children: <Widget>[
          TextField(
            controller: _path,
            decoration: const InputDecoration(labelText: 'Path of a photo'),
          ),
          const SizedBox(height: 12),
          Align(
            alignment: Alignment.centerLeft,
            child: ElevatedButton(
              onPressed: _busy ? null : _run,
              child: const Text('metadata, render, tile'),
            ),
          ),
          const SizedBox(height: 12),
          for (final String line in _lines) SelectableText(line),
          if (rendered != null) Image.file(File(rendered)),
        ],
      ),
    );
  }
}
